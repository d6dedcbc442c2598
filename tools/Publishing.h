// The publisher's commands of quen-dara-patch: make a patch from two archives, write the manifest
// that lists the patches, and check a release folder before it is uploaded.
#pragma once

#include <cstdint>
#include <string>

#include "tools/ToolArgs.h"

namespace tool {

int keygenCommand(const Args& args);
int makeCommand(const Args& args);
int manifestCommand(const Args& args);
int verifyCommand(const Args& args);

// The file a patch address names: the last component of its path, percent-decoded. Empty, with
// `why` set, when it is no name a file can have in a release folder on Linux and on Windows
// (nothing, "." or "..", a separator, a control character or a character Windows refuses in it,
// a trailing dot or blank, or a name Windows keeps for a device such as "CON" or "com1.data").
std::string fileNameOfAddress(const std::string& url, std::string& why);

// "0.4" as major × 65536 + minor, or a plain integer as the encoded value itself. False, with
// `why` set, for what the patcher can't show or would read as no manifest at all.
bool parseVersion(const std::string& text, std::int32_t& version, std::string& why);

} // namespace tool
