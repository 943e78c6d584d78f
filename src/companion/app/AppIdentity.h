// SPDX-License-Identifier: MIT
#pragma once

#include <QPixmap>
#include <QString>

namespace AppIdentity {

// The companion's desktop-entry ID, also the name of its icon.
inline const QString appId = QStringLiteral("app.orvane.Companion");
inline const QString iconResource = QStringLiteral(":/icons/app.orvane.Companion.svg");

// The icon drawn at a square size; rendered directly, so no icon-engine plugin has to load at start.
QPixmap iconPixmap(int pixels);

} // namespace AppIdentity
