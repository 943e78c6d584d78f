// SPDX-License-Identifier: MIT
#pragma once

#include <QMetaType>
#include <QString>
#include <optional>

enum class CompanionStatus
{
    running,
    stopped
};

// One set of readings from the metrics document; an absent field had no usable value.
struct CompanionSensors
{
    std::optional<QString> chipName {};
    std::optional<double> cpuTempC {};
    std::optional<double> gpuTempC {};
    std::optional<double> socPowerW {};
    std::optional<double> gpuUsagePct {};

    // optional<double> compares by IEEE rules: NaN equals nothing, +0.0 equals -0.0.
    friend bool operator==(const CompanionSensors &, const CompanionSensors &) = default;
};

Q_DECLARE_METATYPE(CompanionStatus)
Q_DECLARE_METATYPE(CompanionSensors)
