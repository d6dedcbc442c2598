// What the game subsystem needs from the operating system: registry values, the running
// processes' executable paths and starting a program. One implementation per platform; the rules
// built on top of these live in GameLookup.h and are the same everywhere.
#pragma once

#include <string>
#include <vector>

#include "core/Status.h"

namespace qdt {

enum class RegistryHive
{
    CurrentUser,
    LocalMachine,
};

// A value of `key` (a path below the hive, "\" separators) read as text, UTF-8: strings as
// stored, 32- and 64-bit numbers in decimal. Empty when the key, the value or a readable form
// of it is missing. On Linux the registry is the Wine prefix's ($WINEPREFIX, else ~/.wine).
std::string readRegistryString(RegistryHive hive, const std::string& key, const std::string& value);

// The full executable path (UTF-8) of every running process that can be examined. A Windows
// program run by Wine is reported by the Windows path it was started with. An error when the
// process list itself cannot be read.
Result<std::vector<std::string>> runningProcessPaths();

// Starts `program` with `arguments` without waiting for it and without keeping anything of it,
// in the program's own folder as its working folder, as a shortcut or a launcher starts it: a
// game finds its data beside itself, wherever the caller was started from. `program` is a path as
// the program keeps it (see nativePath); on Linux a Windows executable is started through Wine in
// the same prefix.
Status startDetached(const std::string& program, const std::vector<std::string>& arguments);

} // namespace qdt
