// Which programs hold a file open, for messages that tell the player what to close.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace qdt {

// The programs that have `path` open, as Windows' Restart Manager names them ("Launcher (pid
// 1234)"). Empty where the system can't tell: on other systems, and where the Restart Manager is
// missing or lists nothing.
std::vector<std::string> programsUsingFile(const std::filesystem::path& path);

// "Another program is using <what>", naming the programs where they are known.
std::string anotherProgramUses(const std::filesystem::path& path, const std::string& what);

} // namespace qdt
