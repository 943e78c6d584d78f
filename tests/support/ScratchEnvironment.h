// SPDX-License-Identifier: MIT
#pragma once

#include <QPair>
#include <QTemporaryDir>

// HOME and the XDG folders point into a temporary folder for this object's life.
class ScratchEnvironment
{
public:
    ScratchEnvironment();
    ~ScratchEnvironment();
    Q_DISABLE_COPY(ScratchEnvironment)

    QString path() const { return m_dir.path(); }
    // Sets a variable for this object's life (an empty value unsets it).
    void set(const char *name, const QByteArray &value);

private:
    QTemporaryDir m_dir;
    QList<QPair<QByteArray, std::optional<QByteArray>>> m_saved;
};
