// SPDX-License-Identifier: MIT
#include "FakeTool.h"

#include <QDir>

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
    // Each argument ends with a unit separator, each call with a line break.
    script.write(
        QStringLiteral("#!/bin/sh\nprintf '%s\\037' \"$@\" >> '%1/calls.log'\necho >> '%1/calls.log'\n%2\n")
            .arg(root(), scriptBody)
            .toUtf8());
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

QList<QStringList> FakeTool::recordedCalls() const
{
    QFile log(root() + QStringLiteral("/calls.log"));
    QList<QStringList> calls;
    for (const QByteArray &line :
        log.open(QIODevice::ReadOnly) ? log.readAll().split('\n') : QByteArrayList())
        if (!line.isEmpty())
            calls << QString::fromUtf8(line.chopped(1)).split(QChar(0x1f));
    return calls;
}
