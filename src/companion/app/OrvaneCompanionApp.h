// SPDX-License-Identifier: MIT
#pragma once

#include <QLocale>
#include <QString>
#include <optional>

class CompanionManager;
class QApplication;
class QWidget;

// The program's entry: one dark window per user session.
class OrvaneCompanionApp
{
public:
    // --help and --version, and the check for a display, before any QApplication exists; an exit status
    // when the program should end here.
    static std::optional<int> handleCommandLine(int argc, char *argv[]);
    // Dark palette, fixed style, identity, accessible roles and the translation for the locale; call before
    // any widget.
    static void prepare(QApplication &app, const QLocale &locale = QLocale::system());
    // Shows the window around the manager (the production one when none is given), or raises the
    // window of an instance that already runs and returns at once. Returns the exit status.
    static int exec(QApplication &app, CompanionManager *mgr = nullptr);

    // Raises the window; the compositor lets it take the focus only with the token of the launch that asked.
    static void bringForward(QWidget *window, const QString &activationToken);
    // Installs the translation for the locale; false when there is none (English is then shown).
    static bool loadTranslation(QApplication &app, const QLocale &locale);
};
