// SPDX-License-Identifier: MIT
#include "service/paths.h"

#include "service/unit.h"

#include <pwd.h>
#include <unistd.h>

namespace macmon {
namespace fs = std::filesystem;

namespace {

constexpr char kAutostartName[] = "orvane-macmon.desktop";

fs::path absoluteDir(const Environment &env, const char *variable, const fs::path &fallback)
{
    // The XDG rules ignore relative values.
    const fs::path value = lookup(env, variable);
    return value.is_absolute() ? value : fallback;
}

fs::path home(const Environment &env)
{
    const std::string value = lookup(env, "HOME");
    if (!value.empty())
        return value;
    const passwd *pw = ::getpwuid(::getuid());
    return pw && pw->pw_dir ? pw->pw_dir : "/";
}

} // namespace

InstallPaths InstallPaths::forEnvironment(const Environment &env)
{
    const fs::path h = home(env);
    const fs::path config = absoluteDir(env, "XDG_CONFIG_HOME", h / ".config");
    const fs::path runtime = absoluteDir(env, "XDG_RUNTIME_DIR", {});
    const fs::path state = absoluteDir(env, "XDG_STATE_HOME", h / ".local/state") / kStateFolder;
    return { config / "systemd/user" / kUnitName, config / "autostart" / kAutostartName,
        runtime.empty() ? state / "macmon.pid" : runtime / "orvane-macmon.pid", state / "install.lock" };
}

} // namespace macmon
