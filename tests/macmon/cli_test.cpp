// SPDX-License-Identifier: MIT
#include "cli.h"
#include "support.h"

#include <gtest/gtest.h>

using namespace macmon;
using namespace macmon::test;

namespace {

// What parsing gave, in one line: the action, then for serving the port, roots and detach flag.
std::string outcome(const ParsedArguments &parsed)
{
    if (!parsed.options)
        return parsed.error.empty() ? "error without a message" : "usage error";
    const Options &o = *parsed.options;
    const char *actions[] = { "serve", "install", "uninstall", "help", "version" };
    std::string line = actions[static_cast<int>(o.action)];
    if (o.action == Options::Action::Help || o.action == Options::Action::Version)
        return line;
    return line + " " + std::to_string(o.port) + " " + o.roots.sysfs.string() + " " + o.roots.procfs.string()
        + (o.detach ? " detach" : "");
}

} // namespace

TEST(Arguments, Parse)
{
    const Environment roots { { "MACMON_SYSFS_ROOT", "/env/sys" }, { "MACMON_PROCFS_ROOT", "/env/proc" } };
    const std::vector<std::tuple<std::vector<std::string>, Environment, std::string>> cases {
        { { "serve" }, {}, "serve 9090 /sys /proc" },
        { { "serve", "--port", "9191", "--install" }, {}, "install 9191 /sys /proc" },
        { { "serve", "--port=1" }, {}, "serve 1 /sys /proc" },
        { { "serve", "--port", "65535", "--uninstall" }, {}, "uninstall 65535 /sys /proc" },
        { { "--help" }, {}, "help" },
        { { "--version" }, {}, "version" },
        { { "serve" }, roots, "serve 9090 /env/sys /env/proc" },
        // A flag wins over the variable; an empty variable is unset.
        { { "serve", "--sysfs-root", "/flag/sys" }, roots, "serve 9090 /flag/sys /env/proc" },
        { { "serve" }, { { "MACMON_SYSFS_ROOT", "" } }, "serve 9090 /sys /proc" },
        { { "serve", "--port", "9000", "--detach" }, {}, "serve 9000 /sys /proc detach" },
        { {}, {}, "usage error" },
        { { "run" }, {}, "usage error" },
        { { "serve", "--bogus" }, {}, "usage error" },
        { { "serve", "--port" }, {}, "usage error" },
        { { "serve", "--port", "0" }, {}, "usage error" },
        { { "serve", "--port", "65536" }, {}, "usage error" },
        { { "serve", "--port", "90x" }, {}, "usage error" },
        { { "serve", "--port", " 90" }, {}, "usage error" },
        { { "serve", "--install", "--uninstall" }, {}, "usage error" },
        { { "serve", "--install", "--detach" }, {}, "usage error" },
        { { "serve", "--install=yes" }, {}, "usage error" },
        { { "serve", "--sysfs-root", "" }, {}, "usage error" },
    };
    for (const auto &[args, env, expected] : cases) {
        std::string line;
        for (const auto &a : args)
            line += a + " ";
        EXPECT_EQ(outcome(parseArguments(args, env)), expected) << line;
    }
}

TEST(Arguments, ExitCodesAndStreams)
{
    // args, exit code, the start of standard output, what standard error holds
    const std::vector<std::tuple<std::vector<std::string>, int, std::string, std::string>> cases {
        { { "--help" }, 0, "usage: macmon serve", "" },
        { { "--frobnicate" }, 2, "", "macmon: unknown command: --frobnicate\nusage: macmon serve" },
        { { "serve", "--port", "0" }, 2, "", "macmon: --port needs a number" },
    };
    for (const auto &[args, exitCode, out, err] : cases) {
        SCOPED_TRACE(args.front());
        std::vector<std::string> argv { MACMON_BINARY };
        argv.insert(argv.end(), args.begin(), args.end());
        const auto result = runCommand(argv, { { "PATH", "/usr/bin:/bin" } }, std::chrono::seconds(10));
        EXPECT_EQ(result.exitCode, exitCode);
        EXPECT_EQ(result.out.rfind(out, 0), 0u) << result.out;
        EXPECT_EQ(exitCode == 0 ? result.err == "" : result.err.rfind(err, 0) == 0, true) << result.err;
    }
}
