// SPDX-License-Identifier: MIT
#pragma once

#include <QDBusContext>
#include <QLockFile>
#include <QObject>
#include <chrono>
#include <memory>

// One companion per user session, the freedesktop way: the first process owns the application's name on
// the session bus and serves org.freedesktop.Application; a later launch asks it forward and leaves.
// Without a session bus a lock file in the runtime folder keeps it to one.
class SingleInstance : public QObject, protected QDBusContext
{
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds answerWait { 1000 };
    // A token longer than any compositor issues is not passed on.
    static constexpr qsizetype maxTokenChars = 256;

    static QString objectPath();
    static QString lockFilePath();

    explicit SingleInstance(QObject *parent = nullptr);
    ~SingleInstance() override;

    // True when this process is now the one instance; false when a running one was asked forward.
    bool claim();

    // The activation token in a caller's platform data; empty when it sent none or an unusable one.
    static QString tokenFrom(const QVariantMap &platformData);

Q_SIGNALS:
    // The desktop or a later launch asks the window forward, with the token that lets it take the focus.
    void activationRequested(const QString &token);

private:
    friend class ApplicationAdaptor;
    void refuseAction(const QString &name) const;

    bool m_ownsName = false;
    std::unique_ptr<QLockFile> m_lock;
};
