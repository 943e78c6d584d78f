// SPDX-License-Identifier: MIT
#include "ScratchEnvironment.h"

#include <QDir>
#include <QFile>

ScratchEnvironment::ScratchEnvironment()
{
    const QString home = m_dir.path();
    const QList<QPair<const char *, QString>> folders = {
        { "HOME", home },
        { "XDG_CONFIG_HOME", home + QStringLiteral("/.config") },
        { "XDG_DATA_HOME", home + QStringLiteral("/.local/share") },
        { "XDG_STATE_HOME", home + QStringLiteral("/.local/state") },
        { "XDG_CACHE_HOME", home + QStringLiteral("/.cache") },
        { "XDG_RUNTIME_DIR", home + QStringLiteral("/runtime") },
        { "XDG_DATA_DIRS", home + QStringLiteral("/share") },
        { "XDG_CONFIG_DIRS", home + QStringLiteral("/etc/xdg") },
    };
    for (const auto &[name, folder] : folders) {
        QDir().mkpath(folder);
        set(name, folder.toUtf8());
    }
    QFile::setPermissions(
        home + QStringLiteral("/runtime"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

ScratchEnvironment::~ScratchEnvironment()
{
    for (auto it = m_saved.crbegin(); it != m_saved.crend(); ++it)
        it->second ? qputenv(it->first.constData(), *it->second) : qunsetenv(it->first.constData());
}

void ScratchEnvironment::set(const char *name, const QByteArray &value)
{
    m_saved.append({ name, qEnvironmentVariableIsSet(name) ? std::optional(qgetenv(name)) : std::nullopt });
    value.isEmpty() ? qunsetenv(name) : qputenv(name, value);
}
