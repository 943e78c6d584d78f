// SPDX-License-Identifier: MIT
#include "sensors/readings.h"
#include "support/machine.h"

#include <gtest/gtest.h>
#include <sstream>

using namespace macmon;
using namespace macmon::test;
using namespace std::chrono_literals;

namespace {

// What a real machine's `sensors` text shows, as macmon must read it from the tree that text stands for.
struct Machine
{
    std::string probe;
    std::optional<double> cpu, gpu, power;
    std::string source; // where a reading comes from, when that is not plain
};

// One machine a line: probe, CPU °C, GPU °C, power W (each empty for none), source; "#" starts a comment.
std::vector<Machine> machines()
{
    std::vector<Machine> list;
    std::istringstream lines(readText(MACMON_PROBE_EXPECTED));
    const auto number = [](const std::string &field) {
        return field.empty() ? std::nullopt : std::optional(std::stod(field));
    };
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> fields;
        std::istringstream columns(line);
        for (std::string field; std::getline(columns, field, '\t');)
            fields.push_back(field);
        fields.resize(5);
        if (!line.starts_with('#'))
            list.push_back({ fields[0], number(fields[1]), number(fields[2]), number(fields[3]), fields[4] });
    }
    return list;
}

} // namespace

TEST(RealMachines, EachReadsWhatItsSensorsShow)
{
    const auto trees = std::distance(fs::directory_iterator(MACMON_PROBE_TREES), fs::directory_iterator());
    const auto expected = machines();
    EXPECT_EQ(static_cast<std::size_t>(trees), expected.size()) << "every machine has its row";
    for (const auto &m : expected) {
        SCOPED_TRACE(m.probe + " " + m.source);
        const fs::path machine = fs::path(MACMON_PROBE_TREES) / m.probe;
        Sensors sensors({ machine / "sys", machine / "proc" });
        const auto t0 = orvane::Clock::now();
        sensors.sample(t0);
        const Readings r = sensors.sample(t0 + 1s);
        expectNear(r.cpuTempC, m.cpu, "cpu", 0.5);
        expectNear(r.gpuTempC, m.gpu, "gpu", 0.5);
        expectNear(r.socPowerW, m.power, "power");
        EXPECT_EQ(r.chipName, std::nullopt) << "a tree without /proc and a device tree names no chip";
        // The install's check refuses a machine without any reading.
        EXPECT_EQ(r.hasNumericReading(), m.cpu || m.gpu || m.power);
    }
}
