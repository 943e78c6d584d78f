// SPDX-License-Identifier: MIT
#include "SingleInstance.h"

#include "AppIdentity.h"

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QStandardPaths>

namespace {

const QString applicationInterface = QStringLiteral("org.freedesktop.Application");

bool usableToken(const QString &token)
{
    if (token.isEmpty() || token.size() > SingleInstance::maxTokenChars)
        return false;
    return std::all_of(
        token.cbegin(), token.cend(), [](QChar c) { return c.unicode() > 0x20 && c.unicode() < 0x7f; });
}

// This launch's own token, handed on by whoever started it.
QVariantMap ownPlatformData()
{
    QVariantMap data;
    for (const auto &[key, variable] : { std::pair { "activation-token", "XDG_ACTIVATION_TOKEN" },
             std::pair { "desktop-startup-id", "DESKTOP_STARTUP_ID" } }) {
        const QString value = qEnvironmentVariable(variable);
        if (usableToken(value))
            data.insert(QLatin1String(key), value);
    }
    return data;
}

} // namespace

// org.freedesktop.Application on the instance's object: every call brings the window forward.
class ApplicationAdaptor : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")

public:
    explicit ApplicationAdaptor(SingleInstance *instance)
        : QDBusAbstractAdaptor(instance)
        , m_instance(instance)
    { }

public Q_SLOTS:
    void Activate(const QVariantMap &platformData)
    {
        Q_EMIT m_instance->activationRequested(SingleInstance::tokenFrom(platformData));
    }
    // The companion opens no files or addresses: it only comes forward.
    void Open(const QStringList &, const QVariantMap &platformData) { Activate(platformData); }
    // It has no actions; an unknown one is refused, not taken as an activation.
    void ActivateAction(const QString &name, const QVariantList &, const QVariantMap &)
    {
        m_instance->refuseAction(name);
    }

private:
    SingleInstance *const m_instance;
};

QString SingleInstance::objectPath()
{
    return QLatin1Char('/') + QString(AppIdentity::appId).replace(QLatin1Char('.'), QLatin1Char('/'));
}

QString SingleInstance::lockFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation)
        + QStringLiteral("/orvane-companion.lock");
}

SingleInstance::SingleInstance(QObject *parent)
    : QObject(parent)
{
    new ApplicationAdaptor(this);
}

SingleInstance::~SingleInstance()
{
    if (m_ownsName) {
        QDBusConnection bus = QDBusConnection::sessionBus();
        bus.unregisterObject(objectPath());
        bus.unregisterService(AppIdentity::appId);
    }
}

QString SingleInstance::tokenFrom(const QVariantMap &platformData)
{
    for (const char *key : { "activation-token", "desktop-startup-id" }) {
        const QString token = platformData.value(QLatin1String(key)).toString();
        if (usableToken(token))
            return token;
    }
    return {};
}

void SingleInstance::refuseAction(const QString &name) const
{
    if (calledFromDBus())
        sendErrorReply(QDBusError::NotSupported, QStringLiteral("no action named %1").arg(name.left(64)));
}

bool SingleInstance::claim()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        m_lock = std::make_unique<QLockFile>(lockFilePath());
        // Only the owner's death frees the lock, never its age.
        m_lock->setStaleLockTime(0);
        return m_lock->tryLock(0);
    }
    // The object is there before the name, so whoever sees the name can call it.
    bus.registerObject(objectPath(), this, QDBusConnection::ExportAdaptors);
    const auto reply = bus.interface()->registerService(AppIdentity::appId,
        QDBusConnectionInterface::DontQueueService, QDBusConnectionInterface::DontAllowReplacement);
    m_ownsName = reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered;
    if (m_ownsName)
        return true;
    bus.unregisterObject(objectPath());
    QDBusMessage activate = QDBusMessage::createMethodCall(
        AppIdentity::appId, objectPath(), applicationInterface, QStringLiteral("Activate"));
    activate << ownPlatformData();
    bus.call(activate, QDBus::Block, int(answerWait.count()));
    return false;
}

#include "SingleInstance.moc"
