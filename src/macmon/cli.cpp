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

// What the flags of "serve" asked for, before the roots are settled.
struct Flags
{
    bool install = false, uninstall = false, help = false;
    std::optional<std::string> sysfs, procfs, powerSocket;
};

bool takesValue(const std::string &flag)
{
    return flag == "--port" || flag == "--sysfs-root" || flag == "--procfs-root" || flag == "--power-socket";
}

orvane::Status apply(const std::string &flag, const std::optional<std::string> &value, Options &o, Flags &f)
{
    if (flag == "--help" || flag == "-h") {
        f.help = true;
    } else if (flag == "--port") {
        const auto n = orvane::parseInteger(*value);
        if (!n || *n < 1 || *n > 65535 || orvane::trim(*value) != *value)
            return orvane::Failed { "--port needs a number from 1 to 65535, not \"" + *value + "\"" };
        o.port = static_cast<std::uint16_t>(*n);
    } else if (flag == "--sysfs-root" || flag == "--procfs-root" || flag == "--power-socket") {
        if (value->empty())
            return orvane::Failed { flag + (flag == "--power-socket" ? " needs a path" : " needs a folder") };
        (flag == "--sysfs-root" ? f.sysfs : flag == "--procfs-root" ? f.procfs : f.powerSocket) = *value;
    } else if (flag == "--install" || flag == "--uninstall" || flag == "--detach") {
        (flag == "--install" ? f.install : flag == "--uninstall" ? f.uninstall : o.detach) = true;
    } else {
        return orvane::Failed { "unknown argument: " + flag };
    }
    return {};
}

// A flag wins over the variable; an empty variable counts as unset.
std::filesystem::path root(const std::optional<std::string> &flag, const Environment &env,
    const char *variable, const char *fallback)
{
    const std::string fromEnv = lookup(env, variable);
    return std::filesystem::path(flag ? *flag : !fromEnv.empty() ? fromEnv : fallback);
}

} // namespace

orvane::Result<Options> parseArguments(const std::vector<std::string> &args, const Environment &env)
{
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h"))
        return only(Options::Action::Help);
    if (args.size() == 1 && args[0] == "--version")
        return only(Options::Action::Version);
    if (args.empty() || args[0] != "serve")
        return orvane::Failed { args.empty() ? "missing command" : "unknown command: " + args[0] };
    Options o;
    Flags f;
    for (std::size_t i = 1; i < args.size() && !f.help; ++i) {
        std::string flag = args[i];
        std::optional<std::string> value;
        if (const auto eq = flag.find('='); flag.starts_with("--") && eq != std::string::npos) {
            value = flag.substr(eq + 1);
            flag.resize(eq);
        }
        if (takesValue(flag) && !value && i + 1 >= args.size())
            return orvane::Failed { flag + " needs a value" };
        if (takesValue(flag) && !value)
            value = args[++i];
        else if (!takesValue(flag) && value)
            return orvane::Failed { flag + " takes no value" };
        if (auto status = apply(flag, value, o, f); !status.ok())
            return orvane::Failed { status.message() };
    }
    if (f.help)
        return only(Options::Action::Help);
    if (f.install && f.uninstall)
        return orvane::Failed { "--install and --uninstall exclude each other" };
    if (o.detach && (f.install || f.uninstall))
        return orvane::Failed { "--detach is for serve alone" };
    o.action = f.install ? Options::Action::Install
        : f.uninstall    ? Options::Action::Uninstall
                         : Options::Action::Serve;
    o.roots.sysfs = root(f.sysfs, env, "MACMON_SYSFS_ROOT", "/sys");
    o.roots.procfs = root(f.procfs, env, "MACMON_PROCFS_ROOT", "/proc");
    o.roots.powerSocket = root(f.powerSocket, env, "MACMON_POWER_SOCKET", "/run/orvane-power.sock");
    return o;
}

} // namespace macmon
