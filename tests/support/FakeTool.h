// SPDX-License-Identifier: MIT
#pragma once

#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

// A stand-in macmon in a scratch install tree; each run logs its exact arguments, then runs the given body.
class FakeTool
{
public:
    explicit FakeTool(const QString &scriptBody = QStringLiteral("exit 0"));

    QString root() const { return m_dir.path(); }
    QString binDir() const { return root() + QStringLiteral("/bin"); }
    QString toolPath() const { return root() + QStringLiteral("/libexec/orvane-companion/macmon"); }

    void write(const QString &scriptBody);
    void remove() { QFile::remove(toolPath()); }
    QList<QStringList> recordedCalls() const;

private:
    QTemporaryDir m_dir;
};
