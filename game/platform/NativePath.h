// Turns the path strings the program builds (Windows style, mixed separators, ".." parts) into
// the file the platform's file layer means by them.
#pragma once

#include <filesystem>
#include <string>

namespace qdt {

// On Windows the string is passed through unchanged: the file layer resolves separators and "..".
// Elsewhere "\" becomes "/", ".." parts are resolved, and a drive path ("C:\...") is looked up in
// the Wine prefix the game runs in.
std::filesystem::path nativePath(const std::string& utf8Path);

} // namespace qdt
