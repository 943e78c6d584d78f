// SPDX-License-Identifier: MIT
// Stands in for libnvidia-ml.so.1: answers what the test set in nvmlDoubleState and logs every call.
#include "sensors/nvml_double.h"

#include <unistd.h>

static nvmlReturn_t noted(const std::string &call, nvmlReturn_t rc = NVML_SUCCESS)
{
    nvmlDoubleState.log += call + " ";
    return rc;
}

extern "C" {
NvmlDouble nvmlDoubleState;

nvmlReturn_t nvmlInit_v2()
{
    ::usleep(nvmlDoubleState.initDelayMs * 1000);
    return noted("init", nvmlDoubleState.initRc);
}

nvmlReturn_t nvmlShutdown()
{
    return noted("shutdown");
}

nvmlReturn_t nvmlDeviceGetHandleByPciBusId_v2(const char *busId, nvmlDevice_t *)
{
    return noted(std::string("handle:") + busId);
}

nvmlReturn_t nvmlDeviceGetTemperature(nvmlDevice_t, nvmlTemperatureSensors_t sensor, unsigned int *celsius)
{
    *celsius = nvmlDoubleState.celsius;
    return noted("temp", sensor == NVML_TEMPERATURE_GPU ? nvmlDoubleState.tempRc : NVML_ERROR_NOT_SUPPORTED);
}

nvmlReturn_t nvmlDeviceGetUtilizationRates(nvmlDevice_t, nvmlUtilization_t *rates)
{
    *rates = { nvmlDoubleState.busyPercent, 0 };
    return noted("util");
}

nvmlReturn_t nvmlDeviceGetClockInfo(nvmlDevice_t, nvmlClockType_t type, unsigned int *mhz)
{
    *mhz = nvmlDoubleState.mhz;
    return noted("clock", type == NVML_CLOCK_GRAPHICS ? nvmlDoubleState.clockRc : NVML_ERROR_NOT_SUPPORTED);
}

nvmlReturn_t nvmlDeviceGetPowerUsage(nvmlDevice_t, unsigned int *milliwatts)
{
    *milliwatts = nvmlDoubleState.milliwatts;
    return noted("power");
}
}
