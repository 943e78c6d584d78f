// SPDX-License-Identifier: MIT
#pragma once

#include "nvml.h"

#include <string>

// What the stand-in NVML answers, and the log of every call made to it.
struct NvmlDouble
{
    nvmlReturn_t initRc = NVML_SUCCESS, tempRc = NVML_SUCCESS, clockRc = NVML_SUCCESS;
    unsigned celsius = 61, busyPercent = 37, mhz = 1395;
    int initDelayMs = 0;
    std::string log = {};
};

extern "C" NvmlDouble *nvmlDouble();
