// SPDX-License-Identifier: MIT
#pragma once

#include "sensors/nvml.h"

#include <string>

struct NvmlDouble
{
    nvmlReturn_t initRc = NVML_SUCCESS, tempRc = NVML_SUCCESS, clockRc = NVML_SUCCESS;
    unsigned celsius = 61, busyPercent = 37, mhz = 1395, milliwatts = 85250, initDelayMs = 0;
    std::string log = {};
};
extern "C" NvmlDouble nvmlDoubleState;
