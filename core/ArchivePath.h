// The one rule that finds the game's archive from the game executable's path.
#pragma once

#include <string>

namespace qdt {

// Everything up to and including the last "\" or "/" of the game path (nothing when there is
// none), followed by "..\..\ZNGame\". The text is returned as built, separators and ".." kept.
std::string contentFolder(const std::string& gamePath);

// contentFolder(gamePath) followed by "data.lpk".
std::string archivePath(const std::string& gamePath);

} // namespace qdt
