// The Windows world a game sees under Wine: the prefix's registry files and its drive letters.
// Used by the Linux platform layer and by nativePath; plain file parsing, so it builds anywhere.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace qdt {

// $WINEPREFIX, else ~/.wine; empty when neither can be told.
std::filesystem::path winePrefix();

// A value of `key` (a path relative to the file's hive, "\" separators) in a Wine registry file
// ("user.reg" holds HKEY_CURRENT_USER, "system.reg" HKEY_LOCAL_MACHINE), as UTF-8 text. Key and
// value names match without regard to case; "" names the default value ("@"). Strings come back
// with their escapes decoded, dword and qword values in decimal. Empty when missing or unreadable.
std::string readWineRegistryValue(const std::filesystem::path& regFile, const std::string& key,
                                  const std::string& value);

// Decodes the text between the quotes of a registry file string (its "\\", "\"", "\x41a", octal
// and C escapes) into UTF-8.
std::string decodeWineRegistryString(std::string_view escaped);

// True for "C:\..." and "c:/...": a path on a drive letter.
bool isDrivePath(std::string_view path);

// The Unix file that the drive path `windowsPath` means in `prefix`: the drive's dosdevices link,
// "\" read as "/", "." and ".." resolved as Windows does (never above the drive's root), and every
// component that does not exist as written looked up without regard to case.
std::filesystem::path unixPathInPrefix(const std::filesystem::path& prefix,
                                       const std::string& windowsPath);

} // namespace qdt
