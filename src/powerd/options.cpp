// SPDX-License-Identifier: MIT
#include "options.h"

#include "common/text.h"

namespace powerd {

std::string usage()
{
    return "usage: orvane-powerd [--sysfs-root DIR] [--idle-ms N]\n"
           "       orvane-powerd --help | --version\n"
           "\n"
           "Answers each connection on the socket systemd passes it with one line: the processor packages'\n"
           "power in whole watts, averaged over the last second or more (an empty line when there is none).\n"
           "Started by orvane-power.socket; exits after 60 s without a connection.\n"
           "  --sysfs-root DIR  read the counters below DIR instead of /sys (for tests)\n"
           "  --idle-ms N       exit after N ms without a connection instead of 60 s (for tests)\n";
}

ParsedArguments parseArguments(const std::vector<std::string> &args)
{
    const auto fail = [](std::string message) {
        return ParsedArguments { std::nullopt, std::move(message) };
    };
    Options o;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (args.size() == 1 && (arg == "--help" || arg == "-h")) {
            o.action = Options::Action::Help;
            return { o, {} };
        }
        if (args.size() == 1 && arg == "--version") {
            o.action = Options::Action::Version;
            return { o, {} };
        }
        if (arg != "--sysfs-root" && arg != "--idle-ms")
            return fail("unknown argument: " + arg);
        if (i + 1 >= args.size())
            return fail(arg + " needs a value");
        const std::string &value = args[++i];
        if (arg == "--sysfs-root") {
            if (value.empty())
                return fail("--sysfs-root needs a folder");
            o.sysfsRoot = value;
            continue;
        }
        const auto ms = orvane::parseInteger(value);
        if (!ms || *ms < 1 || *ms > kIdle.count() || orvane::trim(value) != value)
            return fail("--idle-ms needs a number from 1 to " + std::to_string(kIdle.count()));
        o.idle = std::chrono::milliseconds(*ms);
    }
    return { o, {} };
}

} // namespace powerd
