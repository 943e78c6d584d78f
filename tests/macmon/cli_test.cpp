// SPDX-License-Identifier: MIT
#include "cli.h"
#include "support.h"

#include <gtest/gtest.h>

using namespace macmon;
using namespace macmon::test;
using Action = Options::Action;

TEST(Arguments, Parse)
{
    struct Case
    {
        std::vector<std::string> args;
        Environment env;
        std::optional<Action> action; // empty: a usage error
        std::uint16_t port = kDefaultPort;
        std::string sysfs = "/sys", procfs = "/proc";
        bool detach = false;
    };
    const Environment roots { { "MACMON_SYSFS_ROOT", "/env/sys" }, { "MACMON_PROCFS_ROOT", "/env/proc" } };
    const std::vector<Case> cases {
        { { "serve" }, {}, Action::Serve },
        { { "serve", "--port", "9191", "--install" }, {}, Action::Install, 9191 },
        { { "serve", "--port=8080" }, {}, Action::Serve, 8080 },
        { { "serve", "--uninstall" }, {}, Action::Uninstall },
        { { "--help" }, {}, Action::Help },
        { { "serve", "--help" }, {}, Action::Help },
        { { "--version" }, {}, Action::Version },
        { { "serve" }, roots, Action::Serve, kDefaultPort, "/env/sys", "/env/proc" },
        // A flag wins over the variable; an empty variable is unset.
        { { "serve", "--sysfs-root", "/flag/sys" }, roots, Action::Serve, kDefaultPort, "/flag/sys",
            "/env/proc" },
        { { "serve" }, { { "MACMON_SYSFS_ROOT", "" } }, Action::Serve },
        { { "serve", "--port", "9000", "--detach" }, {}, Action::Serve, 9000, "/sys", "/proc", true },
        { {}, {}, std::nullopt },
        { { "run" }, {}, std::nullopt },
        { { "serve", "--bogus" }, {}, std::nullopt },
        { { "serve", "--port" }, {}, std::nullopt },
        { { "serve", "--port", "0" }, {}, std::nullopt },
        { { "serve", "--port", "65536" }, {}, std::nullopt },
        { { "serve", "--port", "90x" }, {}, std::nullopt },
        { { "serve", "--install", "--uninstall" }, {}, std::nullopt },
        { { "serve", "--install", "--detach" }, {}, std::nullopt },
        { { "serve", "--install=yes" }, {}, std::nullopt },
        { { "serve", "--sysfs-root", "" }, {}, std::nullopt },
    };
    for (const auto &c : cases) {
        std::string line;
        for (const auto &a : c.args)
            line += a + " ";
        SCOPED_TRACE(line);
        const auto parsed = parseArguments(c.args, c.env);
        ASSERT_EQ(parsed.options.has_value(), c.action.has_value()) << parsed.error;
        if (!c.action) {
            EXPECT_FALSE(parsed.error.empty());
            continue;
        }
        EXPECT_EQ(parsed.options->action, *c.action);
        if (*c.action == Action::Help || *c.action == Action::Version)
            continue;
        EXPECT_EQ(parsed.options->port, c.port);
        EXPECT_EQ(parsed.options->roots.sysfs, c.sysfs);
        EXPECT_EQ(parsed.options->roots.procfs, c.procfs);
        EXPECT_EQ(parsed.options->detach, c.detach);
    }
}

TEST(Arguments, ExitCodesAndStreams)
{
    struct Case
    {
        std::vector<std::string> args;
        int exitCode;
        const char *out; // expected at the start of standard output
        const char *err; // expected within standard error
    };
    const std::vector<Case> cases {
        { { "--help" }, 0, "usage: macmon serve", "" },
        { { "--version" }, 0, "macmon ", "" },
        { { "--frobnicate" }, 2, "", "usage: macmon serve" },
        { { "serve", "--port", "0" }, 2, "", "--port needs a number" },
    };
    const Environment env { { "PATH", "/usr/bin:/bin" } };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args.front());
        std::vector<std::string> argv { MACMON_BINARY };
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const auto result = runCommand(argv, env, std::chrono::seconds(10));
        EXPECT_EQ(result.exitCode, c.exitCode);
        EXPECT_EQ(result.out.rfind(c.out, 0), 0u) << result.out;
        EXPECT_NE(result.err.find(c.err), std::string::npos) << result.err;
        if (c.exitCode == 0) {
            EXPECT_EQ(result.err, "");
        }
    }
}
