// XXH64 with the seed every hash of this program uses: archive hashes, patch header hashes,
// cache hashes and the hashes the manifest publishes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "core/Status.h"

namespace qdt {

constexpr std::uint64_t kHashSeed = 0x123456789ULL;

std::uint64_t xxh64(const void* data, std::size_t size);

// Incremental form for content that is never held whole in memory.
class Xxh64Stream
{
public:
    Xxh64Stream();
    ~Xxh64Stream();
    Xxh64Stream(const Xxh64Stream&) = delete;
    Xxh64Stream& operator=(const Xxh64Stream&) = delete;

    void update(const void* data, std::size_t size);
    std::uint64_t digest() const;

private:
    void* state_;
};

// Hash of a whole file, read in fixed-size blocks.
Result<std::uint64_t> hashFile(const std::filesystem::path& path);
// The same for a file already open, from its current position to its end; `name` for messages.
Result<std::uint64_t> hashOpenFile(std::FILE* file, const std::string& name);

} // namespace qdt
