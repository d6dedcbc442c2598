#include "game/platform/GameLookup.h"

#include <cstring>

#include "game/ProcessState.h"
#include "game/platform/CaseInsensitive.h"
#include "game/platform/WinePrefix.h"

namespace qdt {

namespace {

bool endsWith(const std::string& text, const std::string& suffix)
{
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

} // namespace

std::string gamePathFromRegistry(const RegistryReader& read)
{
    std::string result = read(RegistryHive::CurrentUser, kLauncherAppsKey, "GamePath");
    if (result.empty())
        return read(RegistryHive::LocalMachine, kUninstallKey, "DisplayIcon");
    std::string execName = read(RegistryHive::CurrentUser, kLauncherAppsKey, "ExecName");
    const std::string launchArgument = kLaunchArgument;
    if (endsWith(execName, launchArgument)) {
        execName.resize(execName.size() - launchArgument.size());
        if (!endsWith(result, "\\"))
            result += '\\';
        result += execName;
    }
    return result;
}

std::string gamePathFromRegistry()
{
    return gamePathFromRegistry(readRegistryString);
}

int processStateOf(const std::vector<std::string>& processPaths)
{
    bool launcherSeen = false;
    bool gameSeen = false;
    for (const std::string& path : processPaths) {
        if (path.empty())
            continue;
        if (containsIgnoringCase(path, kLauncherExeName))
            launcherSeen = true;
        if (containsIgnoringCase(path, kGameExeName))
            gameSeen = true;
    }
    if (!launcherSeen)
        return LauncherNotRunning;
    return gameSeen ? GameRunning : LauncherRunning;
}

std::string gamePathAmong(const std::vector<std::string>& processPaths)
{
    for (const std::string& path : processPaths) {
        if (path.empty())
            continue;
        // A relative path (as typed to start the program) says nothing without its start folder.
        const bool absolute = isDrivePath(path) || path[0] == '/' || path[0] == '\\';
        const auto cut = path.find_last_of("\\/");
        if (!absolute || cut == std::string::npos)
            continue;
        if (equalsIgnoringCase(std::string_view(path).substr(cut + 1), kGameExeName))
            return path;
    }
    return {};
}

} // namespace qdt
