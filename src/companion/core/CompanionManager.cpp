// SPDX-License-Identifier: MIT
#include "CompanionManager.h"

#include "MetricsPoll.h"

#include <QCoreApplication>
#include <QCoroProcess>
#include <QCoroTimer>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QProcess>
#include <QStringDecoder>
#include <QTimer>

using namespace std::chrono_literals;

namespace {

// Keeps the head of a flood whole: a cut inside a UTF-8 sequence would make all of it undecodable.
QByteArray keepHead(QByteArray bytes, qsizetype limit)
{
    if (bytes.size() <= limit)
        return bytes;
    qsizetype end = limit;
    while (end > 0 && (uchar(bytes[end]) & 0xC0) == 0x80)
        --end;
    bytes.truncate(end);
    return bytes;
}

// The tool's failure text, or nothing when it succeeded.
std::optional<QString> describeEnd(const QProcess &process, const QByteArray &stderrBytes)
{
    const bool crashed = process.exitStatus() == QProcess::CrashExit;
    if (!crashed && process.exitCode() == 0)
        return std::nullopt;

    QStringDecoder decoder(
        QStringDecoder::Utf8, QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    const QString text = decoder(stderrBytes);
    if (!decoder.hasError() && !text.isEmpty())
        return text;
    // A signal leaves no exit status; it must never read as success.
    if (crashed)
        return QStringLiteral("macmon was stopped by a signal");
    return QStringLiteral("macmon exited %1").arg(process.exitCode());
}

// Resumes once the child has left the Starting state, started or failed; QCoro's own wait
// ignores a failed start and sits out its whole time-out.
struct Started
{
    QProcess &process;
    QMetaObject::Connection connection;

    bool await_ready() const noexcept { return process.state() != QProcess::Starting; }
    void await_suspend(std::coroutine_handle<> awaiting)
    {
        connection = QObject::connect(&process, &QProcess::stateChanged, &process, [this, awaiting] {
            QObject::disconnect(connection);
            // Queued: resuming inside QProcess's own signal could destroy it mid-emission.
            QMetaObject::invokeMethod(
                &process, [awaiting] { awaiting.resume(); }, Qt::QueuedConnection);
        });
    }
    void await_resume() const noexcept { }
};

// Runs the tool to its end; the child dies with the manager that asked for it.
QCoro::Task<std::optional<QString>> runTool(QString program, QStringList arguments,
    std::chrono::milliseconds timeLimit, QPointer<CompanionManager> owner)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    process.setInputChannelMode(QProcess::ForwardedInputChannel);

    QByteArray stderrBytes;
    bool cut = false;
    // Drained while the child runs, so a chatty child never stalls on a full pipe.
    const auto drain = [&] {
        const QByteArray chunk = process.readAllStandardError();
        // Nothing after a cut: the next chunk would not continue the kept head, maybe mid-character.
        if (cut)
            return;
        stderrBytes += chunk;
        cut = stderrBytes.size() > CompanionManager::maxErrorBytes;
        stderrBytes = keepHead(std::move(stderrBytes), CompanionManager::maxErrorBytes);
    };
    QObject::connect(&process, &QProcess::readyReadStandardError, &process, drain);
    if (owner)
        QObject::connect(owner.data(), &QObject::destroyed, &process, [&process] { process.kill(); });

    process.start(program, arguments);
    co_await Started { process, {} };
    if (process.state() != QProcess::Running)
        co_return process.errorString();

    if (!co_await qCoro(process).waitForFinished(timeLimit)) {
        process.kill();
        co_await qCoro(process).waitForFinished(5s);
        co_return QStringLiteral("macmon did not finish within %1 s and was stopped")
            .arg(std::chrono::duration<double>(timeLimit).count());
    }
    drain();
    co_return describeEnd(process, stderrBytes);
}

} // namespace

CompanionManager::CompanionManager(QObject *parent)
    : QObject(parent)
{ }

CompanionManager::CompanionManager(quint16 servicePort, QString binDir, std::chrono::milliseconds timeLimit,
    std::chrono::milliseconds installWait, std::chrono::milliseconds uninstallWait, QObject *parent)
    : QObject(parent)
    , m_port(servicePort)
    , m_binDir(std::move(binDir))
    , m_toolTimeLimit(timeLimit)
    , m_installSettle(installWait)
    , m_uninstallSettle(uninstallWait)
{ }

CompanionManager::~CompanionManager() = default;

QString CompanionManager::toolPath(const QString &binDir)
{
    return QDir::cleanPath(binDir + QLatin1Char('/') + QStringLiteral(ORVANE_TOOL_FROM_BINDIR));
}

QCoro::Task<> CompanionManager::refresh()
{
    QPointer self { this };
    const auto body = co_await MetricsPoll::fetch(m_port, QPointer<QObject>(this));
    if (!self)
        co_return;
    auto readings = body ? parse(*body) : std::nullopt;
    if (readings) {
        setSensors(std::move(readings));
        setStatus(CompanionStatus::running);
    } else {
        setStatus(CompanionStatus::stopped);
    }
}

QCoro::Task<> CompanionManager::installAndStart()
{
    return runThenPoll({ QStringLiteral("serve"), QStringLiteral("--port"), QString::number(m_port),
                           QStringLiteral("--install") },
        m_installSettle);
}

QCoro::Task<> CompanionManager::uninstall()
{
    return runThenPoll({ QStringLiteral("serve"), QStringLiteral("--uninstall") }, m_uninstallSettle);
}

QCoro::Task<> CompanionManager::runThenPoll(QStringList arguments, std::chrono::milliseconds settle)
{
    QPointer self { this };
    co_await run(std::move(arguments));
    if (!self)
        co_return;
    // A precise timer: a coarse one may fire 5 % early, before the service has settled.
    QTimer wait;
    wait.setTimerType(Qt::PreciseTimer);
    wait.setSingleShot(true);
    wait.start(settle);
    co_await wait;
    if (!self)
        co_return;
    co_await refresh();
}

QCoro::Task<> CompanionManager::run(QStringList arguments)
{
    const QString binDir = m_binDir.isEmpty() ? QCoreApplication::applicationDirPath() : m_binDir;
    const QString tool = toolPath(binDir);
    if (!QFileInfo::exists(tool)) {
        setLastError(QStringLiteral("macmon not found in bundle"));
        co_return;
    }
    setBusy(true);
    setLastError(std::nullopt);

    QPointer self { this };
    auto failure = co_await runTool(tool, std::move(arguments), m_toolTimeLimit, self);
    if (!self)
        co_return;
    // The text is in place before busy falls, so whoever sees the end sees its outcome.
    setLastError(std::move(failure));
    setBusy(false);
}

void CompanionManager::setStatus(CompanionStatus status)
{
    if (m_status == status)
        return;
    m_status = status;
    Q_EMIT statusChanged();
}

void CompanionManager::setSensors(std::optional<CompanionSensors> sensors)
{
    if (m_sensors == sensors)
        return;
    m_sensors = std::move(sensors);
    Q_EMIT sensorsChanged();
}

void CompanionManager::setBusy(bool busy)
{
    if (m_busy == busy)
        return;
    m_busy = busy;
    Q_EMIT busyChanged();
}

void CompanionManager::setLastError(std::optional<QString> lastError)
{
    if (m_lastError == lastError)
        return;
    m_lastError = std::move(lastError);
    Q_EMIT lastErrorChanged();
}
