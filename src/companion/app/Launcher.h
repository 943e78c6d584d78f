// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QStringList>
#include <optional>

// The footer's two outward actions: start or raise Orvane, and show the privacy page. A failure shows no
// message in the window; one line on standard error says what could not be started or opened.
namespace Launcher {

// Orvane's desktop-entry ID, which is also its D-Bus name.
inline const QString orvaneAppId = QStringLiteral("app.orvane.Orvane");
inline const QString makerSite = QStringLiteral("https://orvane.app");
inline const QString privacyPage = QStringLiteral("https://orvane.app/privacy/companion");

// The parts of a desktop entry the launcher needs.
struct DesktopEntry
{
    QStringList command; // program and arguments, field codes removed
    bool dbusActivatable = false;
};

// Reads the [Desktop Entry] group of a .desktop file; nothing when it is unreadable or has no command.
std::optional<DesktopEntry> readDesktopEntry(const QString &path);
// Splits an Exec value into program and arguments, removing field codes such as %U.
QStringList splitExec(const QString &exec);

// Starts Orvane, or brings it forward when it runs; opens the maker's site when Orvane is not installed.
void openOrvane();
void openPrivacyPage();

} // namespace Launcher
