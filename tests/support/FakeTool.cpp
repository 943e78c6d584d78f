// SPDX-License-Identifier: MIT
#include "FakeTool.h"

#include <QDir>
#include <QFile>

namespace {
constexpr char separator = '\037';
}

FakeTool::FakeTool(const QString &scriptBody)
{
    QDir(root()).mkpath(QStringLiteral("bin"));
    QDir(root()).mkpath(QStringLiteral("libexec/orvane-companion"));
    write(scriptBody);
}

void FakeTool::write(const QString &scriptBody)
{
    QFile script(toolPath());
    if (!script.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write the fake tool");
    const QString log = root() + QStringLiteral("/calls.log");
    script.write(QStringLiteral("#!/bin/sh\n"
                                "for a in \"$@\"; do printf '%s\\037' \"$a\"; done >> '%1'\n"
                                "echo >> '%1'\n%2\n")
                     .arg(log, scriptBody)
                     .toUtf8());
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

void FakeTool::remove()
{
    QFile::remove(toolPath());
}

QList<QStringList> FakeTool::recordedCalls() const
{
    QFile log(root() + QStringLiteral("/calls.log"));
    QList<QStringList> calls;
    if (!log.open(QIODevice::ReadOnly))
        return calls;
    for (const QByteArray &line : log.readAll().split('\n')) {
        if (line.isEmpty())
            continue;
        QStringList arguments = QString::fromUtf8(line).split(QLatin1Char(separator));
        arguments.removeLast(); // each argument ends with the separator
        calls << arguments;
    }
    return calls;
}
