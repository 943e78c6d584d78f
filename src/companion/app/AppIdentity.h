// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

namespace AppIdentity {

// The companion's desktop-entry ID, also the name of its icon.
inline const QString appId = QStringLiteral("app.orvane.Companion");
inline const QString iconResource = QStringLiteral(":/icons/app.orvane.Companion.svg");

} // namespace AppIdentity
