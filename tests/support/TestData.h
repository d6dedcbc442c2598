// Test data made at test time from a seed: game archives and forward patches built for them.
// Qt-free, so the core tests (also under Wine), the benchmarks and the demo sandbox share it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testdata {

using Bytes = std::vector<unsigned char>;

// One replacement, in source-archive coordinates.
struct Edit
{
    std::int64_t offset = 0;
    std::int64_t oldLength = 0;
    Bytes newBytes;
};

// Deterministic archive-like content: text-ish blocks mixed with binary noise.
Bytes makeArchive(std::size_t size, std::uint64_t seed);
// The same content written to a file in blocks (for archives too large to hold).
void writeArchive(const std::filesystem::path& path, std::uint64_t size, std::uint64_t seed);

// `count` sorted, non-overlapping edits over an archive of `archiveSize` bytes that look like a
// translation: replaced strings of a few to a few hundred bytes, new text of a different length,
// some pure insertions and deletions.
std::vector<Edit> translationEdits(std::uint64_t archiveSize, std::size_t count,
                                   std::uint64_t seed);

// The patch file for `edits` (records in the given order). The header word is copied as given.
Bytes buildPatch(std::uint32_t headerWord, std::uint64_t sourceHash, std::uint64_t resultHash,
                 const std::vector<Edit>& edits);

// The content after the edits (sorted, non-overlapping), the obvious way.
Bytes applyEdits(const Bytes& source, const std::vector<Edit>& edits);

// Builds the consistent forward patch for an archive in memory: right source and result hashes.
Bytes makePatch(const Bytes& source, const std::vector<Edit>& edits, std::uint32_t headerWord = 1);

// The same for an archive file of any size: reads it in blocks, never whole. Optionally writes the
// patched content to `resultPath` (empty: don't).
Bytes makePatchForFile(const std::filesystem::path& archive, const std::vector<Edit>& edits,
                       std::uint32_t headerWord = 1, const std::filesystem::path& resultPath = {});

std::uint64_t hashOf(const Bytes& bytes);

// Another content of the same size with the same XXH64 (as hashOf computes it), as a forger who
// targets that 64-bit hash would make one: two 8-byte words near the middle are changed so that
// the hash's state comes out as before. Needs at least 96 bytes.
Bytes xxh64Twin(const Bytes& bytes);
Bytes readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const Bytes& bytes);

} // namespace testdata
