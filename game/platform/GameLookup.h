// The rules that find the game and the launcher, written once above the platform layer: how the
// registry values make the game path, how a process list turns into the process state, and which
// running process shows where the game is.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "game/platform/Platform.h"

namespace qdt {

constexpr const char* kLaunchArgument = " -launch_from_launcher"; // leading blank included
constexpr const char* kLauncherExeName = "ORBEX.exe";
constexpr const char* kGameExeName = "QuenDara.exe";
constexpr const char* kLauncherAppsKey = "Software\\KVTR\\Apps\\45"; // HKEY_CURRENT_USER
constexpr const char* kUninstallKey =                                // HKEY_LOCAL_MACHINE
    "SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\QUEN DARA_ORBEX";

using RegistryReader =
    std::function<std::string(RegistryHive hive, const std::string& key, const std::string& value)>;

// The launcher's "GamePath" joined with its "ExecName" when that carries the launch switch, else
// the bare "GamePath"; the uninstaller's "DisplayIcon" when there is no "GamePath". Reads only
// what it needs, in that order.
std::string gamePathFromRegistry(const RegistryReader& read);
// The same with the system's registry.
std::string gamePathFromRegistry();

// 0 launcher not running, 1 launcher running and game not, 2 both (see game/ProcessState.h).
// A path counts when it contains the name anywhere, in any letter case.
int processStateOf(const std::vector<std::string>& processPaths);

// The first absolute path whose file name is the game's executable (any letter case), so that
// the game's files can be found from it; empty when there is none.
std::string gamePathAmong(const std::vector<std::string>& processPaths);

} // namespace qdt
