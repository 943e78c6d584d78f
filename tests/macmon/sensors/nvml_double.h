// SPDX-License-Identifier: MIT
#pragma once

#include "sources/nvml.h"

#include <dlfcn.h>
#include <string>

struct NvmlDouble
{
    nvmlReturn_t initRc = NVML_SUCCESS, tempRc = NVML_SUCCESS, clockRc = NVML_SUCCESS;
    unsigned celsius = 61, busyPercent = 37, mhz = 1395, milliwatts = 0, initDelayMs = 0;
    std::string log = {};
};
extern "C" NvmlDouble nvmlDoubleState;

// The double's state, opened here too so that it outlives the reader's dlclose.
inline NvmlDouble &fakeNvml()
{
    static void *library = ::dlopen("libnvidia-ml.so.1", RTLD_NOW);
    return *static_cast<NvmlDouble *>(::dlsym(library, "nvmlDoubleState"));
}
