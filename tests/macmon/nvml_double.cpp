// SPDX-License-Identifier: MIT
// Built as libnvidia-ml.so.1 for the tests; the test reaches its state through nvmlDouble().
#include "nvml_double.h"

#include <chrono>
#include <thread>

namespace {
NvmlDouble state;

nvmlReturn_t noted(const std::string &call, nvmlReturn_t rc = NVML_SUCCESS)
{
    state.log += call + " ";
    return rc;
}
} // namespace

extern "C" {
NvmlDouble *nvmlDouble()
{
    return &state;
}

nvmlReturn_t nvmlInit_v2()
{
    const nvmlReturn_t rc = noted("init", state.initRc);
    std::this_thread::sleep_for(std::chrono::milliseconds(state.initDelayMs));
    return rc;
}

nvmlReturn_t nvmlShutdown()
{
    return noted("shutdown");
}

nvmlReturn_t nvmlDeviceGetHandleByPciBusId_v2(const char *busId, nvmlDevice_t *device)
{
    *device = reinterpret_cast<nvmlDevice_t>(&state);
    return noted(std::string("handle:") + busId);
}

nvmlReturn_t nvmlDeviceGetTemperature(nvmlDevice_t, nvmlTemperatureSensors_t sensor, unsigned int *celsius)
{
    *celsius = state.celsius;
    return noted("temp", sensor == NVML_TEMPERATURE_GPU ? state.tempRc : NVML_ERROR_NOT_SUPPORTED);
}

nvmlReturn_t nvmlDeviceGetUtilizationRates(nvmlDevice_t, nvmlUtilization_t *rates)
{
    *rates = { state.busyPercent, 0 };
    return noted("util");
}

nvmlReturn_t nvmlDeviceGetClockInfo(nvmlDevice_t, nvmlClockType_t type, unsigned int *mhz)
{
    *mhz = state.mhz;
    return noted("clock", type == NVML_CLOCK_GRAPHICS ? state.clockRc : NVML_ERROR_NOT_SUPPORTED);
}
}
