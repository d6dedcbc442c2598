#include "tests/support/TestData.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>

#include "core/FileIo.h"
#include "core/Xxh64.h"

namespace testdata {

namespace {

// splitmix64: small, fast and the same everywhere, so a seed names the same data on every machine.
struct Rng
{
    std::uint64_t state;
    std::uint64_t next()
    {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    std::uint64_t below(std::uint64_t n) { return n == 0 ? 0 : next() % n; }
};

const char* const kWords[] = {"the",    "sword", "of",      "ancient",  "kingdom", "quest",
                              "return", "to",    "village", "merchant", "dragon",  "gold",
                              "level",  "skill", "armor",   "potion",   "guild",   "battle"};

// Fills a block deterministically from (seed, block index), so any block can be made alone.
void fillBlock(unsigned char* out, std::size_t size, std::uint64_t seed, std::uint64_t blockIndex)
{
    Rng rng{seed * 0x100000001B3ULL ^ (blockIndex + 1) * 0x9E3779B97F4A7C15ULL};
    std::size_t i = 0;
    while (i < size) {
        const bool text = rng.below(3) != 0;
        const std::size_t run = std::min<std::size_t>(size - i, 16 + rng.below(240));
        if (text) {
            std::size_t j = 0;
            while (j < run) {
                const char* w = kWords[rng.below(sizeof(kWords) / sizeof(kWords[0]))];
                for (const char* c = w; *c && j < run; ++c)
                    out[i + j++] = static_cast<unsigned char>(*c);
                if (j < run)
                    out[i + j++] = ' ';
            }
        } else {
            for (std::size_t j = 0; j < run; j += 8) {
                const std::uint64_t v = rng.next();
                std::memcpy(out + i + j, &v, std::min<std::size_t>(8, run - j));
            }
        }
        i += run;
    }
}

constexpr std::size_t kBlock = 1 << 16;

void putLe64(Bytes& out, std::uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

} // namespace

Bytes makeArchive(std::size_t size, std::uint64_t seed)
{
    Bytes out(size);
    for (std::size_t off = 0, block = 0; off < size; off += kBlock, ++block)
        fillBlock(out.data() + off, std::min(kBlock, size - off), seed, block);
    return out;
}

void writeArchive(const std::filesystem::path& path, std::uint64_t size, std::uint64_t seed)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        throw std::runtime_error("can't create " + qdt::displayPath(path));
    Bytes block(kBlock);
    for (std::uint64_t off = 0, index = 0; off < size; off += kBlock, ++index) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, size - off));
        fillBlock(block.data(), n, seed, index);
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n));
    }
    if (!out.flush())
        throw std::runtime_error("can't write " + qdt::displayPath(path));
}

std::vector<Edit> translationEdits(std::uint64_t archiveSize, std::size_t count, std::uint64_t seed)
{
    std::vector<Edit> edits;
    if (archiveSize == 0 || count == 0)
        return edits;
    Rng rng{seed ^ 0x5EED5EED5EED5EEDULL};
    const std::uint64_t stride = std::max<std::uint64_t>(1, archiveSize / count);
    for (std::size_t k = 0; k < count; ++k) {
        const std::uint64_t slotStart = k * stride;
        if (slotStart >= archiveSize)
            break;
        const std::uint64_t slotSize = std::min(stride, archiveSize - slotStart);
        Edit e;
        const unsigned kind = static_cast<unsigned>(rng.below(10));
        std::uint64_t oldLen = kind == 0 ? 0 : 4 + rng.below(300); // kind 0: pure insertion
        oldLen = std::min<std::uint64_t>(oldLen, slotSize);
        std::size_t newLen = kind == 1 ? 0 : 2 + rng.below(400); // kind 1: pure deletion
        if (kind == 1 && oldLen == 0)
            newLen = 3;
        e.offset = static_cast<std::int64_t>(slotStart + rng.below(slotSize - oldLen + 1));
        e.oldLength = static_cast<std::int64_t>(oldLen);
        e.newBytes.resize(newLen);
        for (std::size_t j = 0; j < newLen; ++j)
            e.newBytes[j] =
                static_cast<unsigned char>("abcdefghijklmnopqrstuvwxyz .,!"[rng.below(30)]);
        edits.push_back(std::move(e));
    }
    return edits;
}

Bytes buildPatch(std::uint32_t headerWord, std::uint64_t sourceHash, std::uint64_t resultHash,
                 const std::vector<Edit>& edits)
{
    Bytes out = {'P', 'T', 'C', 'H'};
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<unsigned char>(headerWord >> (8 * i)));
    putLe64(out, sourceHash);
    putLe64(out, resultHash);
    for (const Edit& e : edits) {
        putLe64(out, static_cast<std::uint64_t>(e.offset));
        putLe64(out, static_cast<std::uint64_t>(e.oldLength));
        putLe64(out, e.newBytes.size());
        out.insert(out.end(), e.newBytes.begin(), e.newBytes.end());
    }
    return out;
}

Bytes applyEdits(const Bytes& source, const std::vector<Edit>& edits)
{
    Bytes out;
    out.reserve(source.size());
    std::size_t pos = 0;
    for (const Edit& e : edits) {
        const auto off = static_cast<std::size_t>(e.offset);
        out.insert(out.end(), source.begin() + static_cast<std::ptrdiff_t>(pos),
                   source.begin() + static_cast<std::ptrdiff_t>(off));
        out.insert(out.end(), e.newBytes.begin(), e.newBytes.end());
        pos = off + static_cast<std::size_t>(e.oldLength);
    }
    out.insert(out.end(), source.begin() + static_cast<std::ptrdiff_t>(pos), source.end());
    return out;
}

std::uint64_t hashOf(const Bytes& bytes)
{
    return qdt::xxh64(bytes.data(), bytes.size());
}

namespace {

constexpr std::uint64_t kPrime1 = 0x9E3779B185EBCA87ULL;
constexpr std::uint64_t kPrime2 = 0xC2B2AE3D27D4EB4FULL;

std::uint64_t rotl(std::uint64_t x, int r)
{
    return (x << r) | (x >> (64 - r));
}

std::uint64_t xxhRound(std::uint64_t acc, std::uint64_t lane)
{
    return rotl(acc + lane * kPrime2, 31) * kPrime1;
}

// The inverse of an odd number modulo 2^64 (Newton's iteration).
std::uint64_t inverse(std::uint64_t a)
{
    std::uint64_t x = a;
    for (int i = 0; i < 6; ++i)
        x *= 2 - a * x;
    return x;
}

std::uint64_t laneAt(const Bytes& b, std::size_t at)
{
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | b[at + static_cast<std::size_t>(i)];
    return v;
}

void putLane(Bytes& b, std::size_t at, std::uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        b[at + static_cast<std::size_t>(i)] = static_cast<unsigned char>(v >> (8 * i));
}

} // namespace

Bytes xxh64Twin(const Bytes& bytes)
{
    // XXH64 runs four accumulators over 32-byte stripes; the first takes each stripe's first
    // word. Changing that word in stripe k and solving the one in stripe k + 1 for the old
    // accumulator leaves everything after unchanged.
    const std::size_t stripes = bytes.size() / 32;
    if (stripes < 3)
        return bytes;
    const std::size_t k = stripes / 2 - 1;
    std::uint64_t acc = qdt::kHashSeed + kPrime1 + kPrime2;
    for (std::size_t s = 0; s < k; ++s)
        acc = xxhRound(acc, laneAt(bytes, 32 * s));
    const std::uint64_t target =
        xxhRound(xxhRound(acc, laneAt(bytes, 32 * k)), laneAt(bytes, 32 * (k + 1)));
    Bytes twin = bytes;
    putLane(twin, 32 * k, laneAt(bytes, 32 * k) ^ 0x5A5A5A5A5A5A5A5AULL);
    const std::uint64_t changed = xxhRound(acc, laneAt(twin, 32 * k));
    const std::uint64_t inner = rotl(target * inverse(kPrime1), 33); // rotate right by 31
    putLane(twin, 32 * (k + 1), (inner - changed) * inverse(kPrime2));
    return twin;
}

Bytes makePatch(const Bytes& source, const std::vector<Edit>& edits, std::uint32_t headerWord)
{
    return buildPatch(headerWord, hashOf(source), hashOf(applyEdits(source, edits)), edits);
}

Bytes makePatchForFile(const std::filesystem::path& archive, const std::vector<Edit>& edits,
                       std::uint32_t headerWord, const std::filesystem::path& resultPath)
{
    std::ifstream in(archive, std::ios::binary);
    if (!in)
        throw std::runtime_error("can't open " + qdt::displayPath(archive));
    std::ofstream out;
    if (!resultPath.empty()) {
        out.open(resultPath, std::ios::binary | std::ios::trunc);
        if (!out)
            throw std::runtime_error("can't create " + qdt::displayPath(resultPath));
    }
    qdt::Xxh64Stream sourceHash, resultHash;
    Bytes buffer(1 << 20);
    auto emit = [&](const unsigned char* data, std::size_t n) {
        resultHash.update(data, n);
        if (out.is_open())
            out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(n));
    };
    // Copies source bytes up to `end` (or to the end of the file) into the result.
    std::uint64_t pos = 0;
    auto copyUntil = [&](std::uint64_t end, bool toResult) {
        while (pos < end) {
            const auto want =
                static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), end - pos));
            in.read(reinterpret_cast<char*>(buffer.data()), static_cast<std::streamsize>(want));
            const auto got = static_cast<std::size_t>(in.gcount());
            if (got == 0)
                break;
            sourceHash.update(buffer.data(), got);
            if (toResult)
                emit(buffer.data(), got);
            pos += got;
        }
    };
    for (const Edit& e : edits) {
        copyUntil(static_cast<std::uint64_t>(e.offset), true);
        emit(e.newBytes.data(), e.newBytes.size());
        copyUntil(static_cast<std::uint64_t>(e.offset + e.oldLength), false);
    }
    copyUntil(UINT64_MAX, true);
    if (out.is_open() && !out.flush())
        throw std::runtime_error("can't write " + qdt::displayPath(resultPath));
    return buildPatch(headerWord, sourceHash.digest(), resultHash.digest(), edits);
}

Bytes readFile(const std::filesystem::path& path)
{
    auto r = qdt::readWholeFile(path);
    if (!r)
        throw std::runtime_error(r.status.detail);
    return std::move(r.value);
}

void writeFile(const std::filesystem::path& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out.flush())
        throw std::runtime_error("can't write " + qdt::displayPath(path));
}

} // namespace testdata
