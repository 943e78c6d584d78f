// SPDX-License-Identifier: MIT
#include "common/environment.h"

extern char **environ;

namespace macmon {

Environment currentEnvironment()
{
    Environment env;
    for (char **e = environ; e && *e; ++e) {
        const std::string entry = *e;
        const auto eq = entry.find('=');
        if (eq != std::string::npos)
            env.emplace(entry.substr(0, eq), entry.substr(eq + 1));
    }
    return env;
}

std::string lookup(const Environment &env, const std::string &name)
{
    const auto it = env.find(name);
    return it == env.end() ? std::string() : it->second;
}

} // namespace macmon
