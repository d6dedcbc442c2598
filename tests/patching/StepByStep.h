// The patch algorithm as the plain sequence of steps, on a byte array in memory: every record
// replaces a range of the current content at offset + running delta, after its old bytes have
// been copied into the reverse patch. Slow and obviously right; the engine must produce the same
// bytes.
#pragma once

#include <cstdint>
#include <vector>

#include "core/Xxh64.h"

namespace stepbystep {

using Bytes = std::vector<unsigned char>;

inline std::int64_t le64(const Bytes& b, std::size_t at)
{
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | b[at + static_cast<std::size_t>(i)];
    return static_cast<std::int64_t>(v);
}

inline void put64(Bytes& out, std::int64_t value)
{
    for (int i = 0; i < 8; ++i)
        out.push_back(static_cast<unsigned char>(static_cast<std::uint64_t>(value) >> (8 * i)));
}

struct Outcome
{
    Bytes content;
    Bytes reverse;
};

// `patch` must be well-formed for `content`.
inline Outcome apply(Bytes content, const Bytes& patch)
{
    Bytes records;
    std::int64_t delta = 0;
    std::size_t p = 24;
    while (p < patch.size()) {
        const std::int64_t offset = le64(patch, p);
        const std::int64_t oldLength = le64(patch, p + 8);
        const std::int64_t newLength = le64(patch, p + 16);
        p += 24;
        const Bytes newBytes(patch.begin() + static_cast<std::ptrdiff_t>(p),
                             patch.begin() + static_cast<std::ptrdiff_t>(p + newLength));
        p += static_cast<std::size_t>(newLength);
        const std::int64_t position = offset + delta;
        put64(records, position);
        put64(records, newLength);
        put64(records, oldLength);
        const auto at = content.begin() + position;
        records.insert(records.end(), at, at + oldLength);
        content.erase(content.begin() + position, content.begin() + position + oldLength);
        content.insert(content.begin() + position, newBytes.begin(), newBytes.end());
        delta += newLength - oldLength;
    }
    Outcome out;
    out.reverse.assign(patch.begin(), patch.begin() + 8);
    put64(out.reverse, static_cast<std::int64_t>(qdt::xxh64(content.data(), content.size())));
    out.reverse.insert(out.reverse.end(), patch.begin() + 8, patch.begin() + 16);
    out.reverse.insert(out.reverse.end(), records.begin(), records.end());
    out.content = std::move(content);
    return out;
}

} // namespace stepbystep
