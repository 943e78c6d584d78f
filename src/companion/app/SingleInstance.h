// SPDX-License-Identifier: MIT
#pragma once

#include <QLocalServer>
#include <QObject>
#include <chrono>

// One companion per user session: the first process listens on a local socket, later ones ask it to
// raise its window and leave.
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds answerWait { 1000 };

    // The socket path in the user's runtime folder.
    static QString defaultSocketPath();

    explicit SingleInstance(QString socketPath = defaultSocketPath(), QObject *parent = nullptr);

    // True when this process is now the one instance; false when a running one was asked to raise.
    bool claim();

Q_SIGNALS:
    void raiseRequested();

private:
    bool askRunningInstance();

    const QString m_socketPath;
    QLocalServer m_server;
};
