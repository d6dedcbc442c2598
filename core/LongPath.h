// Paths of any length for the Windows file functions. Windows refuses a path of MAX_PATH (260)
// characters or more (a folder: 248) unless the program is long-path aware and the system allows
// it, or the path is written in the extended-length form "\\?\C:\..." ("\\?\UNC\server\share\..."
// on a network share), which the file functions take exactly as written: no "/" is turned into
// "\", no "." or ".." is resolved. A game installed deep in a player's folders has such paths.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

namespace qdt {

// From this length on a path may be refused: a folder's path must leave room for an 8.3 name.
constexpr std::size_t kLongPathLimit = 248;

// The extended-length form of an absolute Windows path of `limit` characters or more: "/" made
// "\", "." and ".." resolved (never above the drive or share), "\\?\" or "\\?\UNC\" in front.
// Shorter paths, paths already in that form, device paths and paths that are not absolute come
// back as they are.
std::wstring extendedLengthPath(const std::wstring& path, std::size_t limit = kLongPathLimit);

// The path to give the system's file functions: on Windows a long path, made absolute, in its
// extended-length form; otherwise the path as it is.
std::filesystem::path systemPath(const std::filesystem::path& path);

} // namespace qdt
