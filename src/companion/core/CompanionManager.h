// SPDX-License-Identifier: MIT
#pragma once

#include "CompanionTypes.h"

#include <QByteArrayView>
#include <QCoroTask>
#include <QObject>
#include <QStringList>
#include <chrono>
#include <optional>

// The companion's one controller: service state, the metrics poll and the sensor tool's runs.
// Every operation runs on the GUI thread between its awaits; none reports failure to its caller.
class CompanionManager : public QObject
{
    Q_OBJECT
    Q_PROPERTY(CompanionStatus status READ status NOTIFY statusChanged)
    Q_PROPERTY(std::optional<CompanionSensors> sensors READ sensors NOTIFY sensorsChanged)
    Q_PROPERTY(bool busy READ busy NOTIFY busyChanged)
    Q_PROPERTY(std::optional<QString> lastError READ lastError NOTIFY lastErrorChanged)

public:
    static constexpr quint16 port = 9090;

    static constexpr std::chrono::milliseconds installSettle { 1200 };
    static constexpr std::chrono::milliseconds uninstallSettle { 600 };
    static constexpr std::chrono::milliseconds toolTimeLimit { 30000 };
    static constexpr qsizetype maxErrorBytes = 64 * 1024;

    explicit CompanionManager(QObject *parent = nullptr);
    // For tests: another service port, bin/ folder to find the tool from, time limit and settle waits.
    CompanionManager(quint16 servicePort, QString binDir, std::chrono::milliseconds timeLimit = toolTimeLimit,
        std::chrono::milliseconds installWait = installSettle,
        std::chrono::milliseconds uninstallWait = uninstallSettle, QObject *parent = nullptr);
    ~CompanionManager() override;

    CompanionStatus status() const { return m_status; }
    const std::optional<CompanionSensors> &sensors() const { return m_sensors; }
    bool busy() const { return m_busy; }
    const std::optional<QString> &lastError() const { return m_lastError; }

    // One GET of the metrics document; sets sensors and status from the answer.
    QCoro::Task<> refresh();
    QCoro::Task<> installAndStart();
    QCoro::Task<> uninstall();

    // Bytes of a metrics document in, readings out; nothing when it holds no usable reading.
    static std::optional<CompanionSensors> parse(QByteArrayView body);
    // Whether a body nests arrays and objects deeper than any document of ours, by its brackets outside
    // strings; such a body is refused before it is parsed.
    static bool nestedTooDeep(QByteArrayView body);
    // The tool in <prefix>/libexec/orvane-companion beside an executable in <prefix>/bin.
    static QString toolPath(const QString &binDir);

Q_SIGNALS:
    void statusChanged();
    void sensorsChanged();
    void busyChanged();
    void lastErrorChanged();

private:
    QCoro::Task<> run(QStringList arguments);
    QCoro::Task<> runThenPoll(QStringList arguments, std::chrono::milliseconds settle);

    void setStatus(CompanionStatus status);
    void setSensors(std::optional<CompanionSensors> sensors);
    void setBusy(bool busy);
    void setLastError(std::optional<QString> lastError);

    const quint16 m_port = port;
    const QString m_binDir; // empty: the running executable's folder
    const std::chrono::milliseconds m_toolTimeLimit = toolTimeLimit;
    const std::chrono::milliseconds m_installSettle = installSettle;
    const std::chrono::milliseconds m_uninstallSettle = uninstallSettle;

    CompanionStatus m_status = CompanionStatus::stopped;
    std::optional<CompanionSensors> m_sensors;
    bool m_busy = false;
    std::optional<QString> m_lastError;
};
