// Whole-file copies that are complete or absent: the copy is made beside the destination and
// renamed over it only after it has been flushed.
#pragma once

#include <filesystem>

#include "core/Status.h"

namespace qdt {

// Copies `from` over `to` atomically. Uses the file system's cheapest way where it has one (a
// copy-on-write clone, an in-kernel copy) and plain reads and writes elsewhere. On failure `to`
// is untouched.
Status copyFileAtomically(const std::filesystem::path& from, const std::filesystem::path& to);

// Copies `from` to the new file `to` and flushes it to disk; messages name `nameForMessages`. On
// failure `to` is removed.
Status copyFileFlushed(const std::filesystem::path& from, const std::filesystem::path& to,
                       const std::filesystem::path& nameForMessages);

} // namespace qdt
