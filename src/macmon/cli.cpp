// SPDX-License-Identifier: MIT
#include "cli.h"

#include "common/text.h"

namespace macmon {

std::string usage()
{
    return "usage: macmon serve [--port N] [--sysfs-root DIR] [--procfs-root DIR] [--power-socket PATH]\n"
           "       macmon serve [--port N] [--sysfs-root DIR] [--procfs-root DIR] [--power-socket PATH] "
           "--install\n"
           "       macmon serve --uninstall\n"
           "       macmon --help | --version\n"
           "\n"
           "Serves this machine's sensor readings as JSON at http://127.0.0.1:N/json (default port 9090).\n"
           "  --install        install as a per-user service started at login, start it now\n"
           "  --uninstall      stop and remove that service\n"
           "  --sysfs-root     read sensors below DIR instead of /sys (or $MACMON_SYSFS_ROOT)\n"
           "  --procfs-root    read processor data below DIR instead of /proc (or $MACMON_PROCFS_ROOT)\n"
           "  --power-socket   ask the power helper at PATH (or $MACMON_POWER_SOCKET)\n"
           "  --detach         serve in the background with a pid file (used by the autostart entry)\n";
}

namespace {

Options only(Options::Action action)
{
    Options o;
    o.action = action;
    return o;
}

} // namespace

ParsedArguments parseArguments(const std::vector<std::string> &args, const Environment &env)
{
    Options o;
    const auto fail = [](std::string message) {
        return ParsedArguments { std::nullopt, std::move(message) };
    };
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h"))
        return { only(Options::Action::Help), {} };
    if (args.size() == 1 && args[0] == "--version")
        return { only(Options::Action::Version), {} };
    if (args.empty() || args[0] != "serve")
        return fail(args.empty() ? "missing command" : "unknown command: " + args[0]);

    bool install = false, uninstall = false;
    std::optional<std::string> sysfs, procfs, powerSocket;
    for (std::size_t i = 1; i < args.size(); ++i) {
        std::string arg = args[i];
        std::optional<std::string> value;
        if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
        }
        const bool takesValue
            = arg == "--port" || arg == "--sysfs-root" || arg == "--procfs-root" || arg == "--power-socket";
        if (takesValue && !value) {
            if (i + 1 >= args.size())
                return fail(arg + " needs a value");
            value = args[++i];
        } else if (!takesValue && value) {
            return fail(arg + " takes no value");
        }
        if (arg == "--help" || arg == "-h") {
            return { only(Options::Action::Help), {} };
        } else if (arg == "--port") {
            const auto n = orvane::parseInteger(*value);
            if (!n || *n < 1 || *n > 65535 || orvane::trim(*value) != *value)
                return fail("--port needs a number from 1 to 65535, not \"" + *value + "\"");
            o.port = static_cast<std::uint16_t>(*n);
        } else if (arg == "--sysfs-root" || arg == "--procfs-root" || arg == "--power-socket") {
            if (value->empty())
                return fail(arg + (arg == "--power-socket" ? " needs a path" : " needs a folder"));
            (arg == "--sysfs-root" ? sysfs : arg == "--procfs-root" ? procfs : powerSocket) = *value;
        } else if (arg == "--install") {
            install = true;
        } else if (arg == "--uninstall") {
            uninstall = true;
        } else if (arg == "--detach") {
            o.detach = true;
        } else {
            return fail("unknown argument: " + args[i]);
        }
    }
    if (install && uninstall)
        return fail("--install and --uninstall exclude each other");
    if (o.detach && (install || uninstall))
        return fail("--detach is for serve alone");
    o.action = install ? Options::Action::Install
        : uninstall    ? Options::Action::Uninstall
                       : Options::Action::Serve;

    // A flag wins over the variable; an empty variable counts as unset.
    const auto root
        = [&](const std::optional<std::string> &flag, const char *variable, const char *fallback) {
              const std::string fromEnv = lookup(env, variable);
              return std::filesystem::path(flag ? *flag : !fromEnv.empty() ? fromEnv : fallback);
          };
    o.roots.sysfs = root(sysfs, "MACMON_SYSFS_ROOT", "/sys");
    o.roots.procfs = root(procfs, "MACMON_PROCFS_ROOT", "/proc");
    o.roots.powerSocket = root(powerSocket, "MACMON_POWER_SOCKET", "/run/orvane-power.sock");
    return { o, {} };
}

} // namespace macmon
