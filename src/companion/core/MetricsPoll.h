// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QCoroTask>
#include <QPointer>
#include <chrono>
#include <optional>

// One GET of the metrics document on a connection of its own, bounded in silence, time and bytes.
namespace MetricsPoll {

// Restarted by every byte, so connecting, headers and body each get it afresh.
inline constexpr std::chrono::milliseconds silenceLimit { 1200 };
// Bounds an answer that trickles in, so polls never pile up behind the ticker.
inline constexpr std::chrono::milliseconds deadline { 2500 };
// A peer can send header lines without end; curl alone bounds only each line.
inline constexpr qsizetype maxHeaderBytes = 64 * 1024;
inline constexpr qsizetype maxBodyBytes = 1024 * 1024;

// The body of a 2xx answer from 127.0.0.1:port/json, else nothing; ends at once when owner dies.
QCoro::Task<std::optional<QByteArray>> fetch(quint16 port, QPointer<QObject> owner);

} // namespace MetricsPoll
