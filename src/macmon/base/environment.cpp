// SPDX-License-Identifier: MIT
#include "base/environment.h"

extern char **environ;

namespace macmon {

Environment environmentFrom(const std::vector<std::string> &entries)
{
    Environment env;
    for (const auto &entry : entries)
        if (const auto eq = entry.find('='); eq != std::string::npos)
            env.emplace(entry.substr(0, eq), entry.substr(eq + 1));
    return env;
}

Environment currentEnvironment()
{
    std::vector<std::string> entries;
    for (char **e = environ; e && *e; ++e)
        entries.emplace_back(*e);
    return environmentFrom(entries);
}

std::string lookup(const Environment &env, const std::string &name)
{
    const auto it = env.find(name);
    return it == env.end() ? std::string() : it->second;
}

} // namespace macmon
