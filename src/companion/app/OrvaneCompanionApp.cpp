// SPDX-License-Identifier: MIT
#include "OrvaneCompanionApp.h"

#include "AppIdentity.h"
#include "CompanionManager.h"
#include "ContentView.h"
#include "Palette.h"
#include "SingleInstance.h"

#include <QApplication>
#include <QPalette>
#include <QScreen>
#include <QStyleFactory>
#include <QTranslator>

namespace {

const QString translationName = QStringLiteral("orvane-companion");
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
        palette.setColor(role, C::tp);
    palette.setColor(QPalette::PlaceholderText, C::tt);
    palette.setColor(QPalette::Highlight, C::teal);
    palette.setColor(QPalette::HighlightedText, Qt::black);
    palette.setColor(QPalette::Link, C::mint);
    for (QPalette::ColorRole role : { QPalette::WindowText, QPalette::Text, QPalette::ButtonText })
        palette.setColor(QPalette::Disabled, role, C::tt);
    return palette;
}

void bringForward(QWidget *window)
{
    window->show();
    window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
    window->raise();
    window->activateWindow();
}

} // namespace

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

void OrvaneCompanionApp::prepare(QApplication &app, const QLocale &locale)
{
    QApplication::setApplicationName(QStringLiteral("orvane-companion"));
    QApplication::setApplicationDisplayName(QStringLiteral("Orvane Companion"));
    QGuiApplication::setDesktopFileName(AppIdentity::appId);
    QApplication::setStyle(QStyleFactory::create(styleName));
    QApplication::setPalette(darkPalette());
    loadTranslation(app, locale);
}

int OrvaneCompanionApp::exec(QApplication &app, CompanionManager *mgr)
{
    SingleInstance instance;
    if (!instance.claim()) {
        delete mgr;
        return 0;
    }
    ContentView view(mgr);
    QObject::connect(&instance, &SingleInstance::raiseRequested, &view, [&view] { bringForward(&view); });
    // Centred on first showing; window systems that place windows themselves ignore the move.
    if (const QScreen *screen = view.screen())
        view.move(screen->availableGeometry().center() - view.rect().center());
    view.show();
    return app.exec();
}
