// SPDX-License-Identifier: MIT
#pragma once

// The few NVML types and entry points the NVIDIA reader resolves at run time, from the documented C
// interface.
extern "C" {

using nvmlReturn_t = int;
constexpr nvmlReturn_t NVML_SUCCESS = 0;
constexpr nvmlReturn_t NVML_ERROR_NOT_SUPPORTED = 3;
constexpr nvmlReturn_t NVML_ERROR_DRIVER_NOT_LOADED = 9;

using nvmlDevice_t = struct nvmlDevice_st *;

using nvmlTemperatureSensors_t = int;
constexpr nvmlTemperatureSensors_t NVML_TEMPERATURE_GPU = 0;

using nvmlClockType_t = int;
constexpr nvmlClockType_t NVML_CLOCK_GRAPHICS = 0;

struct nvmlUtilization_t
{
    unsigned int gpu; // percent of the last sample period the GPU was busy
    unsigned int memory;
};

using nvmlInit_f = nvmlReturn_t (*)();
using nvmlShutdown_f = nvmlReturn_t (*)();
using nvmlDeviceGetHandleByPciBusId_f = nvmlReturn_t (*)(const char *pciBusId, nvmlDevice_t *device);
using nvmlDeviceGetTemperature_f
    = nvmlReturn_t (*)(nvmlDevice_t device, nvmlTemperatureSensors_t sensor, unsigned int *celsius);
using nvmlDeviceGetUtilizationRates_f = nvmlReturn_t (*)(nvmlDevice_t device, nvmlUtilization_t *utilization);
using nvmlDeviceGetClockInfo_f
    = nvmlReturn_t (*)(nvmlDevice_t device, nvmlClockType_t type, unsigned int *mhz);
using nvmlDeviceGetPowerUsage_f = nvmlReturn_t (*)(nvmlDevice_t device, unsigned int *milliwatts);
}
