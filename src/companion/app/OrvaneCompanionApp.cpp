// SPDX-License-Identifier: MIT
#include "OrvaneCompanionApp.h"

#include "Accessibility.h"
#include "AppIdentity.h"
#include "CompanionManager.h"
#include "CompanionWindow.h"
#include "Palette.h"
#include "SingleInstance.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QPalette>
#include <QScreen>
#include <QStyleFactory>
#include <QTranslator>

#include <cstdio>

namespace {

const QString programName = QStringLiteral("orvane-companion");
const QString translationName = programName;
const QString styleName = QStringLiteral("Fusion");

// Every colour role dark, so no desktop theme can lighten a corner of the window.
QPalette darkPalette()
{
    const QColor window = QColor::fromRgbF(0.12f, 0.12f, 0.12f);
    const QColor base = QColor::fromRgbF(0.08f, 0.08f, 0.08f);
    QPalette palette(window);
    palette.setColor(QPalette::Window, window);
    palette.setColor(QPalette::Base, base);
    palette.setColor(QPalette::AlternateBase, window);
    palette.setColor(QPalette::Button, window);
    palette.setColor(QPalette::ToolTipBase, base);
    for (QPalette::ColorRole role : { QPalette::WindowText, QPalette::Text, QPalette::ButtonText,
             QPalette::BrightText, QPalette::ToolTipText })
        palette.setColor(role, Palette::primaryText);
    palette.setColor(QPalette::PlaceholderText, Palette::tertiaryText);
    palette.setColor(QPalette::Highlight, Palette::teal);
    palette.setColor(QPalette::HighlightedText, Qt::black);
    palette.setColor(QPalette::Link, Palette::mint);
    for (QPalette::ColorRole role : { QPalette::WindowText, QPalette::Text, QPalette::ButtonText })
        palette.setColor(QPalette::Disabled, role, Palette::tertiaryText);
    return palette;
}

} // namespace

void OrvaneCompanionApp::bringForward(QWidget *window, const QString &activationToken)
{
    // Qt hands this to the compositor when it asks for the focus.
    if (!activationToken.isEmpty())
        qputenv("XDG_ACTIVATION_TOKEN", activationToken.toUtf8());
    window->show();
    window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
    window->raise();
    window->activateWindow();
}

bool OrvaneCompanionApp::loadTranslation(QApplication &app, const QLocale &locale)
{
    auto *translator = new QTranslator(&app);
    const QString directory
        = QCoreApplication::applicationDirPath() + QStringLiteral("/" ORVANE_TRANSLATIONS_FROM_BINDIR);
    if (!translator->load(locale, translationName, QStringLiteral("_"), directory)) {
        delete translator;
        return false;
    }
    QCoreApplication::installTranslator(translator);
    return true;
}

std::optional<int> OrvaneCompanionApp::handleCommandLine(int argc, char *argv[])
{
    QCoreApplication::setApplicationName(programName);
    QCoreApplication::setApplicationVersion(QStringLiteral(ORVANE_VERSION));
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments += QString::fromLocal8Bit(argv[i]);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Shows whether Orvane's sensor service runs on this machine, and installs or removes it."));
    parser.addHelpOption();
    parser.addVersionOption();
    // Options it does not know are Qt's own (-platform, -style, ...), left for the application to read.
    parser.parse(arguments);
    if (parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all"))) {
        // Without an application object the parser cannot name the program itself.
        const QString help = parser.helpText().replace(
            QStringLiteral("<executable_name>"), QCoreApplication::applicationName());
        std::fputs(qPrintable(help), stdout);
        return 0;
    }
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    const bool platformChosen = !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")
        || arguments.contains(QStringLiteral("-platform"))
        || arguments.contains(QStringLiteral("--platform"));
    if (!platformChosen && qEnvironmentVariableIsEmpty("DISPLAY")
        && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        std::fputs("orvane-companion: no graphical display found (DISPLAY/WAYLAND_DISPLAY unset)\n", stderr);
        return 1;
    }
    return std::nullopt;
}

void OrvaneCompanionApp::prepare(QApplication &app, const QLocale &locale)
{
    QApplication::setApplicationName(programName);
    QApplication::setApplicationDisplayName(QStringLiteral("Orvane Companion"));
    QGuiApplication::setDesktopFileName(AppIdentity::appId);
    QApplication::setStyle(QStyleFactory::create(styleName));
    QApplication::setPalette(darkPalette());
    Accessibility::install();
    loadTranslation(app, locale);
}

int OrvaneCompanionApp::exec(QApplication &app, CompanionManager *mgr)
{
    SingleInstance instance;
    if (!instance.claim()) {
        delete mgr;
        return 0;
    }
    CompanionWindow window(mgr);
    QObject::connect(&instance, &SingleInstance::activationRequested, &window,
        [&window](const QString &token) { bringForward(&window, token); });
    // Centred on first showing; window systems that place windows themselves ignore the move.
    if (const QScreen *screen = window.screen())
        window.move(screen->availableGeometry().center() - window.rect().center());
    window.show();
    return app.exec();
}
