// SPDX-License-Identifier: MIT
#include "sources/families.h"

namespace macmon {

// Each family's file defines its maker; a new family is its file and one line here.
#define MACMON_FAMILIES(X)                                                                                   \
    X(Coretemp)                                                                                              \
    X(K10temp)                                                                                               \
    X(ViaCputemp)                                                                                            \
    X(ThermalZones)                                                                                          \
    X(SocChips)                                                                                              \
    X(Amdgpu)                                                                                                \
    X(IntelGpu)                                                                                              \
    X(GpuTemperature)                                                                                        \
    X(Nvidia)                                                                                                \
    X(Rapl)                                                                                                  \
    X(HwmonPower)                                                                                            \
    X(Ina3221)                                                                                               \
    X(Macsmc)                                                                                                \
    X(Battery)

#define MACMON_DECLARE(name) std::unique_ptr<Source> make##name(const Roots &roots);
MACMON_FAMILIES(MACMON_DECLARE)

std::vector<std::unique_ptr<Source>> makeFamilies(const Roots &roots)
{
    std::vector<std::unique_ptr<Source>> families;
#define MACMON_MAKE(name) families.push_back(make##name(roots));
    MACMON_FAMILIES(MACMON_MAKE)
    return families;
}

} // namespace macmon
