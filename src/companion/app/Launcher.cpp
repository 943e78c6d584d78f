// SPDX-License-Identifier: MIT
#include "Launcher.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTextStream>
#include <QUrl>
#include <QVariantMap>

#include <cstdio>

namespace Launcher {

namespace {

const QString applicationInterface = QStringLiteral("org.freedesktop.Application");

// Undoes the string escapes of desktop-entry values (\s, \n, \t, \r, \\).
QString unescapeValue(const QString &value)
{
    QString out;
    out.reserve(value.size());
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] != QLatin1Char('\\') || i + 1 == value.size()) {
            out += value[i];
            continue;
        }
        switch (value[++i].unicode()) {
        case 's':
            out += QLatin1Char(' ');
            break;
        case 'n':
            out += QLatin1Char('\n');
            break;
        case 't':
            out += QLatin1Char('\t');
            break;
        case 'r':
            out += QLatin1Char('\r');
            break;
        default:
            out += value[i];
            break;
        }
    }
    return out;
}

// Drops field codes (%f, %U, %i, ...) and turns %% into %.
QString stripFieldCodes(const QString &argument)
{
    QString out;
    for (qsizetype i = 0; i < argument.size(); ++i) {
        if (argument[i] == QLatin1Char('%') && i + 1 < argument.size()) {
            if (argument[++i] == QLatin1Char('%'))
                out += QLatin1Char('%');
            continue;
        }
        out += argument[i];
    }
    return out;
}

QString objectPathFor(const QString &appId)
{
    QString path = QLatin1Char('/') + appId;
    path.replace(QLatin1Char('.'), QLatin1Char('/')).replace(QLatin1Char('-'), QLatin1Char('_'));
    return path;
}

// Asks the application to show itself; the bus starts it first when it is not running.
void activateOverDBus(const QString &appId)
{
    QDBusMessage activate = QDBusMessage::createMethodCall(
        appId, objectPathFor(appId), applicationInterface, QStringLiteral("Activate"));
    activate << QVariantMap {};
    QDBusConnection::sessionBus().send(activate);
}

// The bus can raise Orvane when its entry says so, or when a running Orvane holds its name there.
bool reachableOnBus(const QString &appId, bool activatable)
{
    const QDBusConnection bus = QDBusConnection::sessionBus();
    return bus.isConnected() && (activatable || bus.interface()->isServiceRegistered(appId).value());
}

// Starts the command's program when it names one that can run; never an empty or missing one.
bool startProgram(const QStringList &command)
{
    const QString program = command.isEmpty() || command.first().isEmpty()
        ? QString()
        : QStandardPaths::findExecutable(command.first());
    return !program.isEmpty() && QProcess::startDetached(program, command.mid(1));
}

// Platforms without desktop services (offscreen, minimal) still have the desktop's own opener.
void openInBrowser(const QString &address)
{
    const QUrl url(address);
    if (!QDesktopServices::openUrl(url) && !startProgram({ QStringLiteral("xdg-open"), url.toString() }))
        std::fprintf(stderr, "orvane-companion: nothing can open %s\n", qPrintable(address));
}

} // namespace

QStringList splitExec(const QString &exec)
{
    QStringList words;
    QString word;
    bool quoted = false;
    bool inWord = false;
    for (qsizetype i = 0; i < exec.size(); ++i) {
        const QChar c = exec[i];
        if (quoted && c == QLatin1Char('\\') && i + 1 < exec.size()) {
            word += exec[++i];
        } else if (c == QLatin1Char('"')) {
            quoted = !quoted;
            inWord = true;
        } else if (!quoted && c.isSpace()) {
            if (inWord)
                words += word;
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord)
        words += word;

    QStringList command;
    for (const QString &w : std::as_const(words)) {
        const QString stripped = stripFieldCodes(w);
        // An argument that was only a field code disappears; an empty quoted argument stays.
        if (!stripped.isEmpty() || w.isEmpty())
            command += stripped;
    }
    return command;
}

std::optional<DesktopEntry> readDesktopEntry(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return std::nullopt;
    DesktopEntry entry;
    bool inMainGroup = false;
    QTextStream in(&file);
    while (!in.atEnd()) {
        const QString line = in.readLine().trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inMainGroup = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (!inMainGroup || line.startsWith(QLatin1Char('#')) || equals < 0)
            continue;
        const QString key = line.left(equals).trimmed();
        const QString value = unescapeValue(line.mid(equals + 1).trimmed());
        if (key == QLatin1String("Exec"))
            entry.command = splitExec(value);
        else if (key == QLatin1String("DBusActivatable"))
            entry.dbusActivatable = value == QLatin1String("true");
    }
    if (entry.command.isEmpty() && !entry.dbusActivatable)
        return std::nullopt;
    return entry;
}

void openOrvane()
{
    const QString path = QStandardPaths::locate(
        QStandardPaths::ApplicationsLocation, orvaneAppId + QStringLiteral(".desktop"));
    const std::optional<DesktopEntry> entry = path.isEmpty() ? std::nullopt : readDesktopEntry(path);
    if (!entry) {
        openInBrowser(makerSite);
        return;
    }
    if (reachableOnBus(orvaneAppId, entry->dbusActivatable)) {
        activateOverDBus(orvaneAppId);
        return;
    }
    if (!startProgram(entry->command))
        std::fprintf(stderr, "orvane-companion: cannot start Orvane from %s\n", qPrintable(path));
}

void openPrivacyPage()
{
    openInBrowser(privacyPage);
}

} // namespace Launcher
