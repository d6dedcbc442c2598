// The translations the manifest can list, as the program, the publisher's tool and the manifest
// name them. The one table of these names: everything else derives from it.
#pragma once

#include <cstddef>

namespace qdt {

struct LanguageEntry
{
    const char* option;    // the name on the tool's command line
    const char* suffix;    // appended to the manifest's "filename" and "xxhash" keys
    const char* shown;     // what a publisher is told (the window's button in English)
    const char* cacheFile; // the kept copy of its patch in the work directory
};

// In the order of the program's language values: 0 human English, 1 human + machine English,
// 2 Russian.
inline constexpr LanguageEntry kLanguageTable[] = {
    {"en", "_EN", "Human English", "patch_EN.data"},
    {"en_m", "_EN_M", "Human + Machine English", "patch_EN_M.data"},
    {"ru", "_RU", "Russian", "patch_RU.data"},
};
inline constexpr std::size_t kLanguageCount = sizeof kLanguageTable / sizeof kLanguageTable[0];

// The reverse patch that gives the original archive back, beside the kept patches.
inline constexpr const char* kReversePatchFile = "patch_KR.data";

// A manifest larger than this is not a manifest: the program stops reading there.
inline constexpr std::size_t kMaxManifestBytes = std::size_t(1) << 20;

} // namespace qdt
