// SPDX-License-Identifier: MIT
// orvane-powerd: tells any local user the processor packages' power, one rounded figure a second at most,
// from counters it opened before giving up every privilege.
#include "average.h"
#include "counters.h"
#include "listener.h"
#include "options.h"
#include "privileges.h"

#include <iostream>

namespace {

using namespace powerd;

constexpr char kErrorPrefix[] = "orvane-powerd: ";
// The shortest span a figure covers, and so the most often the counters are read.
constexpr auto kWindow = 1s;

int failWith(const std::string &line)
{
    std::cerr << kErrorPrefix << line << '\n';
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    const auto parsed = parseArguments(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.options) {
        std::cerr << kErrorPrefix << parsed.error << '\n' << usage();
        return 2;
    }
    const Options &options = *parsed.options;
    if (options.action == Options::Action::Help) {
        std::cout << usage();
        return 0;
    }
    if (options.action == Options::Action::Version) {
        std::cout << "orvane-powerd " << ORVANE_VERSION << '\n';
        return 0;
    }
    const auto listenFd = activatedSocket();
    if (!listenFd)
        return failWith(listenFd.message());
    const PackageCounters counters(options.sysfsRoot);
    if (auto status = dropPrivileges(); !status.ok())
        return failWith(status.message());
    PowerAverage average(counters.ranges(), kWindow);
    // The first reading opens the first window, so the first connection has none yet.
    average.add(orvane::Clock::now(), counters.read());
    const auto line = [&] {
        const auto now = orvane::Clock::now();
        if (average.due(now))
            average.add(now, counters.read());
        const auto watts = average.watts();
        return watts ? std::to_string(*watts) + '\n' : std::string("\n");
    };
    if (auto status = answerUntilIdle(*listenFd, line, options.idle); !status.ok())
        return failWith(status.message());
    return 0;
}
