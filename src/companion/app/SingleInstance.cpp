// SPDX-License-Identifier: MIT
#include "SingleInstance.h"

#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>
#include <QStandardPaths>

#include <unistd.h>

namespace {

const QByteArray raiseRequest = QByteArrayLiteral("raise\n");
const QString socketName = QStringLiteral("orvane-companion.socket");

} // namespace

QString SingleInstance::defaultSocketPath()
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty())
        folder = QDir::tempPath() + QStringLiteral("/orvane-companion-%1").arg(getuid());
    return folder + QLatin1Char('/') + socketName;
}

SingleInstance::SingleInstance(QString socketPath, QObject *parent)
    : QObject(parent)
    , m_socketPath(std::move(socketPath))
{
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *peer = m_server.nextPendingConnection()) {
            connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
            connect(peer, &QLocalSocket::readyRead, this, [this, peer] {
                if (peer->canReadLine() && peer->readLine() == raiseRequest)
                    Q_EMIT raiseRequested();
            });
        }
    });
}

bool SingleInstance::claim()
{
    if (askRunningInstance())
        return false;
    QDir().mkpath(QFileInfo(m_socketPath).absolutePath());
    // Nobody answered: a socket file left there belongs to an instance that crashed.
    QLocalServer::removeServer(m_socketPath);
    if (m_server.listen(m_socketPath))
        return true;
    // Another instance started at the same moment and won the race.
    return !askRunningInstance();
}

bool SingleInstance::askRunningInstance()
{
    QLocalSocket socket;
    socket.connectToServer(m_socketPath);
    if (!socket.waitForConnected(int(answerWait.count())))
        return false;
    socket.write(raiseRequest);
    return socket.waitForBytesWritten(int(answerWait.count()));
}
