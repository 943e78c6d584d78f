// SPDX-License-Identifier: MIT
#include "ScratchEnvironment.h"

#include <QDir>
#include <QFile>

ScratchEnvironment::ScratchEnvironment()
{
    set("HOME", path().toUtf8());
    for (const char *name : { "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME",
             "XDG_RUNTIME_DIR", "XDG_DATA_DIRS", "XDG_CONFIG_DIRS" }) {
        const QString folder = path() + QLatin1Char('/') + QString::fromLatin1(name).toLower();
        QDir().mkpath(folder);
        set(name, folder.toUtf8());
    }
    QFile::setPermissions(
        qEnvironmentVariable("XDG_RUNTIME_DIR"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
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
