// The journal an in-place write leaves beside the archive, as the engine writes it, for tests that
// stage what a stopped run left (or forge what an attacker would).
#pragma once

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "core/FileFingerprint.h"
#include "core/FileIo.h"

namespace testjournal {

// A journal for the archive as it is now (its file, size and time are taken from the disk), naming
// the patched copy `resultName` beside it.
inline std::string forArchive(const std::filesystem::path& archive, const std::string& resultName,
                              std::uint64_t resultHash, std::uint64_t sourceHash,
                              const std::filesystem::path& backup, std::uint64_t resultSize,
                              const char* content = "translation")
{
    const auto now = qdt::fingerprintOf(archive);
    const qdt::FileFingerprint f = now ? now.value : qdt::FileFingerprint{};
    char hashes[96];
    std::snprintf(hashes, sizeof hashes, "result-hash %016" PRIx64 "\nsource-hash %016" PRIx64 "\n",
                  resultHash, sourceHash);
    return "Quen Dara Translation in-place write 2\nresult " + resultName + "\n" + hashes +
           "backup " + (backup.empty() ? std::string() : qdt::displayPath(backup)) + "\ncontent " +
           content + "\narchive " + std::to_string(f.device) + " " + std::to_string(f.file) + " " +
           std::to_string(f.size) + " " + std::to_string(f.modified) + "\nresult-size " +
           std::to_string(resultSize) + "\n";
}

} // namespace testjournal
