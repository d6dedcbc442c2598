// The publisher's commands of quen-dara-patch: make a patch from two archives, write the manifest
// that lists the patches, and check a release folder before it is uploaded.
#pragma once

#include <cstdint>
#include <string>

#include "tools/ToolArgs.h"

namespace tool {

int makeCommand(const Args& args);
int manifestCommand(const Args& args);
int verifyCommand(const Args& args);

// Whether the patcher fetches `url`: an http or https address with a host, in plain printable
// ASCII (anything else is to be percent-encoded). `why` says what is wrong otherwise.
bool fetchableAddress(const std::string& url, std::string& why);

// The file a patch address names: the last component of its path, percent-decoded. Empty, with
// `why` set, when it is no usable file name (nothing, "." or "..", a separator or a control
// character in it).
std::string fileNameOfAddress(const std::string& url, std::string& why);

// "0.4" as major × 65536 + minor, or a plain integer as the encoded value itself. False, with
// `why` set, for what the patcher can't show or would read as no manifest at all.
bool parseVersion(const std::string& text, std::int32_t& version, std::string& why);

} // namespace tool
