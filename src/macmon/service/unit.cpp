// SPDX-License-Identifier: MIT
#include "service/unit.h"

#include <algorithm>
#include <cctype>

namespace macmon {

std::vector<std::string> ServiceCommand::arguments(bool detach) const
{
    std::vector<std::string> args { executable.string(), "serve", "--port", std::to_string(port),
        "--sysfs-root", roots.sysfs.string(), "--procfs-root", roots.procfs.string() };
    if (!roots.powerSocket.empty())
        args.insert(args.end(), { "--power-socket", roots.powerSocket.string() });
    if (detach)
        args.push_back("--detach");
    return args;
}

std::string systemdQuote(const std::string &arg)
{
    std::string quoted = "\"";
    for (char c : arg) {
        if (c == '\\' || c == '"')
            quoted += '\\';
        else if (c == '%' || c == '$') // specifier and variable expansion
            quoted += c;
        quoted += c;
    }
    return quoted + "\"";
}

std::string desktopExecQuote(const std::string &arg)
{
    // Quoting rules of the Exec key, then the escaping of a string value (a backslash doubles again).
    std::string quoted = "\"";
    for (char c : arg) {
        if (c == '"' || c == '`' || c == '$')
            quoted += "\\";
        else if (c == '\\')
            quoted += "\\\\\\";
        else if (c == '%')
            quoted += '%';
        quoted += c;
    }
    return quoted + "\"";
}

namespace {

// A path as a unit's condition takes it: unquoted, only specifiers escaped.
std::string systemdPath(const std::string &path)
{
    std::string escaped;
    for (char c : path)
        escaped += c == '%' ? std::string("%%") : std::string(1, c);
    return escaped;
}

// A plain string value of a desktop entry: only the backslash is escaped (control characters are refused).
std::string desktopString(const std::string &value)
{
    std::string escaped;
    for (char c : value)
        escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
    return escaped;
}

std::string commandLine(const std::vector<std::string> &args, std::string (*quote)(const std::string &))
{
    std::string line;
    for (const auto &arg : args) {
        const bool plain = arg.rfind("--", 0) == 0 || arg == "serve"
            || std::all_of(arg.begin(), arg.end(), [](unsigned char c) { return std::isdigit(c); });
        line += (line.empty() ? "" : " ") + (plain ? arg : quote(arg));
    }
    return line;
}

} // namespace

std::string desktopExecLine(const std::vector<std::string> &args)
{
    return commandLine(args, desktopExecQuote);
}

std::string systemdUnit(const ServiceCommand &command)
{
    return "# Written by \"macmon serve --install\"; \"macmon serve --uninstall\" removes it.\n"
           "[Unit]\n"
           "Description=Orvane sensor service (macmon)\n"
           "# Skipped, not failed, at each login once the program is gone (its package removed).\n"
           "ConditionFileIsExecutable="
        + systemdPath(command.executable.string())
        + "\n"
          "StartLimitIntervalSec=60\n"
          "StartLimitBurst=5\n"
          "\n"
          "[Service]\n"
          "Type=exec\n"
          "ExecStart="
        + commandLine(command.arguments(false), systemdQuote)
        + "\n"
          "Restart=on-failure\n"
          "RestartSec=2\n"
          "UMask=0077\n"
          "NoNewPrivileges=yes\n"
          "KeyringMode=private\n"
          "LockPersonality=yes\n"
          "MemoryDenyWriteExecute=yes\n"
          "RestrictRealtime=yes\n"
          "RestrictSUIDSGID=yes\n"
          "RestrictNamespaces=yes\n"
          "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX\n"
          "SystemCallArchitectures=native\n"
          "SystemCallFilter=@system-service\n"
          "SystemCallFilter=~@privileged @resources\n"
          "SystemCallErrorNumber=EPERM\n"
          "\n"
          "[Install]\n"
          "WantedBy=default.target\n";
}

std::string autostartEntry(const ServiceCommand &command)
{
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Orvane sensor service\n"
           "Comment=Serves this machine's sensor readings to Orvane on 127.0.0.1\n"
           "Exec="
        + desktopExecLine(command.arguments(true))
        + "\n"
          "TryExec="
        + desktopString(command.executable.string())
        + "\n"
          "Terminal=false\n"
          "NoDisplay=true\n"
          "X-GNOME-Autostart-enabled=true\n";
}

} // namespace macmon
