#include "patching/PatchMaker.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>
#include <vector>

#include "core/FileIo.h"
#include "core/LongPath.h"
#include "core/Xxh64.h"

namespace qdt {

namespace {

// Bytes kept in memory before the current position: the few equal bytes between two records that
// are joined come from there.
constexpr std::size_t kKeepBehind = 64;
// How far a match is followed to judge it, and the length from which it is trusted outright.
constexpr std::size_t kMeasureCap = 1024;
constexpr std::size_t kStrongMatch = 64;
// A match this long is where the archives really go on together: no recurring block is as long.
constexpr std::size_t kLongMatch = 256u << 10;
// Dropping more original bytes than a text ever holds calls for a look at whether the translation
// still holds them further on.
constexpr std::size_t kLargeSkip = 4096;
// How far both positions move before a far look that found nothing is made again.
constexpr std::uint64_t kFarRetry = 1u << 20;
// After a short match has been found, how much further a long one is looked for. A short match
// can be text that happens to recur; a long one is where the archives really meet again.
constexpr std::size_t kLookPastWeak = 256;
// A record is joined with the next one only while it stays below this size, so that memory stays
// bounded however much differs; an unjoined neighbour costs one record head.
constexpr std::size_t kJoinCap = 16u << 20;

// The search for the next common content widens step by step: most differences in a translated
// archive are a text of a few hundred bytes, and a small window finds them cheaply. Larger windows
// index only every `step`-th position of the original; a match found there is extended backwards
// to where it really starts.
struct Stage
{
    std::size_t window;   // bytes searched in each archive
    std::size_t step;     // original positions indexed
    std::size_t anchor;   // bytes hashed per position
    std::size_t minMatch; // shortest match taken
};
constexpr Stage kStages[] = {
    {2u << 10, 1, 16, 16},
    {32u << 10, 1, 16, 24},
    {512u << 10, 4, 24, 32},
    {8u << 20, 16, 32, 48},
};
constexpr std::size_t kStageCount = sizeof(kStages) / sizeof(kStages[0]);
constexpr std::size_t kWidestWindow = 8u << 20;
// How far apart the shifts of a short and a following long match may be for both to be taken.
constexpr std::int64_t kNearShift = 4096;
// Where nothing common is found within the widest window, this much is replaced as it stands.
constexpr std::size_t kBlindBlock = kWidestWindow;
constexpr std::size_t kWindowBuffer = 32u << 20;
constexpr std::size_t kEqualStep = 64u << 10;

constexpr std::uint64_t kRollBase = 0x100000001B3ULL;
constexpr std::uint64_t kMix = 0x9E3779B97F4A7C15ULL;

// One input read front to back through a buffer that slides forward: every byte is read and
// hashed once, and the memory is the buffer's whatever the file's size.
class InputWindow
{
public:
    InputWindow(std::FILE* file, std::uint64_t size, std::string name)
        : file_(file), size_(size), name_(std::move(name)), buffer_(kWindowBuffer)
    {
    }

    std::uint64_t size() const { return size_; }
    const std::string& name() const { return name_; }
    const Status& status() const { return status_; }

    // Makes the bytes from `pos` on present, min(want, size - pos) of them at least. `pos` never
    // goes back further than kKeepBehind before an earlier one.
    bool ensure(std::uint64_t pos, std::size_t want)
    {
        const std::uint64_t end = std::min<std::uint64_t>(size_, pos + want);
        if (end <= base_ + filled_)
            return true;
        const std::uint64_t keepFrom = pos > base_ + kKeepBehind ? pos - kKeepBehind : base_;
        if (keepFrom >= base_ + filled_) {
            // The position jumped past everything in memory (a block replaced blindly): the bytes
            // up to it are only read for the hash.
            base_ += filled_;
            filled_ = 0;
            while (base_ < keepFrom) {
                const auto n = static_cast<std::size_t>(
                    std::min<std::uint64_t>({buffer_.size(), keepFrom - base_, size_ - read_}));
                const std::size_t got = n ? std::fread(buffer_.data(), 1, n, file_) : 0;
                if (got == 0)
                    return failRead();
                hash_.update(buffer_.data(), got);
                read_ += got;
                base_ += got;
            }
        } else if (keepFrom > base_) {
            const auto drop = static_cast<std::size_t>(keepFrom - base_);
            std::memmove(buffer_.data(), buffer_.data() + drop, filled_ - drop);
            filled_ -= drop;
            base_ = keepFrom;
        }
        while (base_ + filled_ < end) {
            const auto room = static_cast<std::size_t>(
                std::min<std::uint64_t>(buffer_.size() - filled_, size_ - read_));
            const std::size_t got = std::fread(buffer_.data() + filled_, 1, room, file_);
            if (got == 0)
                return failRead();
            hash_.update(buffer_.data() + filled_, got);
            filled_ += got;
            read_ += got;
        }
        return true;
    }

    const unsigned char* at(std::uint64_t pos) const { return buffer_.data() + (pos - base_); }
    std::size_t available(std::uint64_t pos) const
    {
        return static_cast<std::size_t>(base_ + filled_ - pos);
    }

    // Reads what is left, for the hash, and checks that the file ends where it ended when it was
    // opened.
    bool drain()
    {
        while (read_ < size_) {
            const auto n =
                static_cast<std::size_t>(std::min<std::uint64_t>(buffer_.size(), size_ - read_));
            const std::size_t got = std::fread(buffer_.data(), 1, n, file_);
            if (got == 0)
                return failRead();
            hash_.update(buffer_.data(), got);
            read_ += got;
        }
        base_ = read_;
        filled_ = 0;
        unsigned char extra;
        if (std::fread(&extra, 1, 1, file_) != 0) {
            status_ = Status::failure(ErrorKind::ReadFailed,
                                      name_ + " grew while it was read; nothing was written");
            return false;
        }
        return true;
    }

    std::uint64_t digest() const { return hash_.digest(); }

private:
    bool failRead()
    {
        status_ = std::ferror(file_)
                      ? Status::failure(ErrorKind::ReadFailed,
                                        "Can't read " + name_ + ": " + std::strerror(errno))
                      : Status::failure(ErrorKind::ReadFailed,
                                        name_ + " became shorter while it was read; nothing was "
                                                "written");
        return false;
    }

    std::FILE* file_;
    std::uint64_t size_;
    std::string name_;
    std::vector<unsigned char> buffer_;
    std::uint64_t base_ = 0; // file position of buffer_[0]
    std::size_t filled_ = 0; // bytes of buffer_ in use
    std::uint64_t read_ = 0; // bytes read from the file
    Xxh64Stream hash_;
    Status status_;
};

// The patch file as it is written: counts its size and stops at the limit.
class PatchWriter
{
public:
    PatchWriter(std::FILE* file, std::uint64_t limit) : file_(file), limit_(limit) {}

    bool write(const void* data, std::size_t size)
    {
        if (size_ + size > limit_) {
            tooLarge_ = true;
            return false;
        }
        if (size > 0 && std::fwrite(data, 1, size, file_) != size) {
            error_ = errno;
            return false;
        }
        size_ += size;
        return true;
    }

    bool head(std::uint64_t offset, std::uint64_t oldLength, std::uint64_t newLength)
    {
        // Known to be too large before its bytes are read: stop at once.
        if (newLength > limit_ || size_ + kPatchRecordHeadSize + newLength > limit_) {
            tooLarge_ = true;
            return false;
        }
        head_.clear();
        appendLe64(head_, offset);
        appendLe64(head_, oldLength);
        appendLe64(head_, newLength);
        ++records_;
        replaced_ += oldLength;
        inserted_ += newLength;
        return write(head_.data(), head_.size());
    }

    std::uint64_t size() const { return size_; }
    bool tooLarge() const { return tooLarge_; }
    int error() const { return error_; }
    std::uint64_t records() const { return records_; }
    std::uint64_t replaced() const { return replaced_; }
    std::uint64_t inserted() const { return inserted_; }

private:
    std::FILE* file_;
    std::uint64_t limit_;
    std::uint64_t size_ = 0;
    bool tooLarge_ = false;
    int error_ = 0;
    std::uint64_t records_ = 0, replaced_ = 0, inserted_ = 0;
    std::vector<unsigned char> head_; // one record head, reused
};

std::size_t matchLength(const unsigned char* x, const unsigned char* y, std::size_t cap)
{
    std::size_t m = 0;
    while (m + 256 <= cap && std::memcmp(x + m, y + m, 256) == 0)
        m += 256;
    while (m < cap && x[m] == y[m])
        ++m;
    return m;
}

// Reports progress at most every 16 MiB.
class Progress
{
public:
    Progress(const ProgressFunction& f, std::uint64_t total) : f_(f), total_(total) {}
    void at(std::uint64_t done)
    {
        if (f_ && (done >= next_ || done == total_)) {
            f_(done, total_);
            next_ = done + (16u << 20);
        }
    }

private:
    const ProgressFunction& f_;
    std::uint64_t total_;
    std::uint64_t next_ = 0;
};

class Differ
{
public:
    Differ(InputWindow& original, InputWindow& translated, PatchWriter& out, Progress& progress)
        : a_(original), b_(translated), out_(out), progress_(progress)
    {
    }

    // False on a read or write failure; the inputs' and the writer's states say which.
    bool run();

private:
    struct Candidate
    {
        std::size_t p = 0, q = 0; // where the match starts, relative to the current positions
        std::size_t length = 0;   // measured, up to kMeasureCap
        bool strong = false;
    };

    bool skipEqual();
    bool findResync(std::size_t& oldLength, std::size_t& newLength);
    bool searchStage(const Stage& stage, Candidate& best);
    static bool preferWeak(const Candidate& weak, const Candidate& strong);
    bool take(const Candidate& c, std::size_t& oldLength, std::size_t& newLength);
    bool farJump(std::size_t& oldLength, std::size_t& newLength, bool& found);
    static std::size_t findLong(const unsigned char* needle, std::size_t needleAvail,
                                const unsigned char* hay, std::size_t hayAvail, std::size_t reach);
    bool record(std::uint64_t offset, std::uint64_t oldLength, const unsigned char* data,
                std::size_t size);
    bool flushPending();
    bool insertTail();

    InputWindow& a_;
    InputWindow& b_;
    PatchWriter& out_;
    Progress& progress_;
    std::uint64_t posA_ = 0, posB_ = 0;

    // The record not yet written, so that a close neighbour can join it.
    bool pending_ = false;
    std::uint64_t pendingOffset_ = 0, pendingOld_ = 0;
    std::vector<unsigned char> pendingBytes_;

    // Hash table of the original's anchors: slot -> position, with a stamp telling which search
    // filled it so that it is never cleared.
    std::vector<std::uint32_t> slotPos_, slotCheck_, slotStamp_;
    std::uint32_t stamp_ = 0;

    // Where the far look last found nothing.
    bool farFruitless_ = false;
    std::uint64_t farFruitlessA_ = 0, farFruitlessB_ = 0;

    // Per stage: where it last found no long match.
    bool fruitless_[kStageCount] = {};
    std::uint64_t fruitlessA_[kStageCount] = {}, fruitlessB_[kStageCount] = {};
};

// A short match is taken before a long one only where both can be had, one after the other, it
// is long enough to be worth a record of its own, and the two shift the content by about the
// same amount (a small edit between them). Otherwise it may be text that recurs by chance, and
// following it could skip content that the long match keeps.
bool Differ::preferWeak(const Candidate& weak, const Candidate& strong)
{
    const auto shift = [](const Candidate& c) {
        return static_cast<std::int64_t>(c.p) - static_cast<std::int64_t>(c.q);
    };
    const std::int64_t turn = shift(strong) - shift(weak);
    return weak.length >= kPatchRecordHeadSize && weak.q < strong.q &&
           weak.p + weak.length <= strong.p && weak.q + weak.length <= strong.q &&
           turn <= kNearShift && turn >= -kNearShift;
}

bool Differ::run()
{
    const std::uint64_t sizeA = a_.size(), sizeB = b_.size();
    while (posA_ < sizeA && posB_ < sizeB) {
        if (!skipEqual())
            return false;
        if (posA_ >= sizeA || posB_ >= sizeB)
            break;
        std::size_t oldLength = 0, newLength = 0;
        if (!findResync(oldLength, newLength))
            return false;
        if (!record(posA_, oldLength, b_.at(posB_), newLength))
            return false;
        posA_ += oldLength;
        posB_ += newLength;
        progress_.at(posB_);
    }
    if (posA_ < sizeA && !record(posA_, sizeA - posA_, nullptr, 0))
        return false;
    if (posB_ < sizeB && !insertTail())
        return false;
    progress_.at(sizeB);
    return flushPending();
}

// Moves both positions past the bytes they have in common.
bool Differ::skipEqual()
{
    while (posA_ < a_.size() && posB_ < b_.size()) {
        if (!a_.ensure(posA_, kEqualStep) || !b_.ensure(posB_, kEqualStep))
            return false;
        const std::size_t n = std::min({a_.available(posA_), b_.available(posB_), kEqualStep});
        const unsigned char* pa = a_.at(posA_);
        const unsigned char* pb = b_.at(posB_);
        const std::size_t i = matchLength(pa, pb, n);
        posA_ += i;
        posB_ += i;
        if (i < n)
            return true;
        progress_.at(posB_);
    }
    return true;
}

// At a difference: how many original bytes to drop and translated bytes to take before the two
// agree again, at the least cost to the patch.
bool Differ::findResync(std::size_t& oldLength, std::size_t& newLength)
{
    // A short match ends the search only where no wider window holds a long one.
    Candidate weak;
    for (std::size_t i = 0; i < kStageCount; ++i) {
        const Stage& stage = kStages[i];
        // A wide window that held no long match a little earlier holds none now either, but for
        // its far end: don't search it again until the positions have moved by half of it. That
        // keeps a long stretch of rewritten text from searching the widest window at every
        // short match within it.
        if (i > 0 && fruitless_[i] && posA_ < fruitlessA_[i] + stage.window / 2 &&
            posB_ < fruitlessB_[i] + stage.window / 2)
            continue;
        Candidate found;
        if (!searchStage(stage, found))
            return false;
        if (!found.strong) {
            fruitless_[i] = true;
            fruitlessA_[i] = posA_;
            fruitlessB_[i] = posB_;
        }
        if (found.length == 0)
            continue;
        if (!found.strong) {
            if (weak.length == 0)
                weak = found;
            continue;
        }
        const Candidate& chosen = preferWeak(weak, found) ? weak : found;
        return take(chosen, oldLength, newLength);
    }
    if (weak.length > 0)
        return take(weak, oldLength, newLength);
    bool found = false;
    if (!farJump(oldLength, newLength, found))
        return false;
    if (found)
        return true;
    const std::uint64_t leftA = a_.size() - posA_, leftB = b_.size() - posB_;
    oldLength = newLength =
        static_cast<std::size_t>(std::min<std::uint64_t>({kBlindBlock, leftA, leftB}));
    return b_.ensure(posB_, newLength);
}

// Where `needle`'s first anchor starts a long match in `hay`, within `reach`; npos otherwise.
// Only the first few places the anchor occurs are followed.
std::size_t Differ::findLong(const unsigned char* needle, std::size_t needleAvail,
                             const unsigned char* hay, std::size_t hayAvail, std::size_t reach)
{
    const std::size_t k = 32;
    if (needleAvail < kLongMatch || hayAvail < kLongMatch)
        return std::string::npos;
    std::uint64_t want = 0, h = 0, topPower = 1;
    for (std::size_t i = 0; i < k; ++i) {
        want = want * kRollBase + needle[i];
        h = h * kRollBase + hay[i];
        if (i > 0)
            topPower *= kRollBase;
    }
    const std::size_t end = std::min(reach, hayAvail - kLongMatch);
    int verified = 0;
    for (std::size_t q = 0; q < end; ++q) {
        if (h == want && std::memcmp(needle, hay + q, k) == 0) {
            if (matchLength(needle, hay + q, kLongMatch) >= kLongMatch)
                return q;
            if (++verified == 64)
                break;
        }
        h = (h - hay[q] * topPower) * kRollBase + hay[q + k];
    }
    return std::string::npos;
}

// Nothing in common within the widest window: before replacing a block blindly, look as far as
// the buffers reach for the original going on whole further in the translation (a block was
// inserted or moved there) or the translation going on whole further in the original (a block
// was removed or moved away), and take the nearer. Replacing blindly would keep the two out of
// step by the block's size for the rest of the archives.
bool Differ::farJump(std::size_t& oldLength, std::size_t& newLength, bool& found)
{
    found = false;
    // Found nothing a moment ago: nothing but the far end has changed since.
    if (farFruitless_ && posA_ < farFruitlessA_ + kFarRetry && posB_ < farFruitlessB_ + kFarRetry)
        return true;
    constexpr std::size_t reach = kWindowBuffer - kLongMatch - (1u << 20);
    if (!a_.ensure(posA_, reach + kLongMatch) || !b_.ensure(posB_, reach + kLongMatch))
        return false;
    const std::size_t availA = a_.available(posA_), availB = b_.available(posB_);
    const unsigned char* A = a_.at(posA_);
    const unsigned char* B = b_.at(posB_);
    const std::size_t inserted = findLong(A, availA, B, availB, reach);
    const std::size_t removed = findLong(B, availB, A, availA, reach);
    found = inserted != std::string::npos || removed != std::string::npos;
    if (!found) {
        farFruitless_ = true;
        farFruitlessA_ = posA_;
        farFruitlessB_ = posB_;
        return true;
    }
    if (inserted <= removed) {
        oldLength = 0;
        newLength = inserted;
    } else {
        oldLength = removed;
        newLength = 0;
    }
    return true;
}

// Takes a candidate, unless it drops a large stretch of the original on the strength of a match
// that is not long, while the original or the translation goes on whole a little further on:
// then that is taken instead. Content that recurs (the same block elsewhere in the archive) can
// offer a match that skips ahead in the original; following it would lose original bytes that
// are still to come, and every record after it would stay out of step.
bool Differ::take(const Candidate& c, std::size_t& oldLength, std::size_t& newLength)
{
    oldLength = c.p;
    newLength = c.q;
    if (c.p < kLargeSkip)
        return true;
    if (!a_.ensure(posA_, kWidestWindow + kLongMatch) ||
        !b_.ensure(posB_, kWidestWindow + kLongMatch))
        return false;
    const std::size_t availA = a_.available(posA_), availB = b_.available(posB_);
    if (matchLength(a_.at(posA_) + c.p, b_.at(posB_) + c.q,
                    std::min({kLongMatch, availA - c.p, availB - c.q})) >= kLongMatch)
        return true;
    bool found = false;
    std::size_t farOld = 0, farNew = 0;
    if (!farJump(farOld, farNew, found))
        return false;
    if (found) {
        oldLength = farOld;
        newLength = farNew;
    }
    return true;
}

bool Differ::searchStage(const Stage& stage, Candidate& best)
{
    if (!a_.ensure(posA_, stage.window + kMeasureCap) ||
        !b_.ensure(posB_, stage.window + kMeasureCap))
        return false;
    const std::size_t availA = a_.available(posA_), availB = b_.available(posB_);
    const std::size_t wa = std::min(stage.window, availA), wb = std::min(stage.window, availB);
    const std::size_t k = stage.anchor;
    if (wa < k || wb < k)
        return true;
    const unsigned char* A = a_.at(posA_);
    const unsigned char* B = b_.at(posB_);
    const bool aEndsInView = a_.size() - posA_ == availA;
    const bool bEndsInView = b_.size() - posB_ == availB;

    std::size_t bits = 10;
    while ((std::size_t(1) << bits) < 2 * (wa / stage.step + 1))
        ++bits;
    const std::size_t slots = std::size_t(1) << bits;
    if (slotPos_.size() < slots) {
        slotPos_.assign(slots, 0);
        slotCheck_.assign(slots, 0);
        slotStamp_.assign(slots, 0);
        stamp_ = 0;
    }
    if (++stamp_ == 0) {
        std::fill(slotStamp_.begin(), slotStamp_.end(), 0);
        stamp_ = 1;
    }
    std::uint64_t topPower = 1; // kRollBase^(k-1)
    for (std::size_t i = 1; i < k; ++i)
        topPower *= kRollBase;
    auto slotOf = [bits](std::uint64_t h) {
        return static_cast<std::size_t>((h * kMix) >> (64 - bits));
    };

    // Index: the first occurrence of each anchor wins, the nearest one.
    std::uint64_t h = 0;
    for (std::size_t i = 0; i < k; ++i)
        h = h * kRollBase + A[i];
    for (std::size_t p = 0;; ++p) {
        if (p % stage.step == 0) {
            const std::size_t s = slotOf(h);
            if (slotStamp_[s] != stamp_) {
                slotStamp_[s] = stamp_;
                slotPos_[s] = static_cast<std::uint32_t>(p);
                slotCheck_[s] = static_cast<std::uint32_t>(h >> 32);
            }
        }
        if (p + k >= wa)
            break;
        h = (h - A[p] * topPower) * kRollBase + A[p + k];
    }

    // Scan the translated side at every position.
    Candidate weak, strong;
    std::size_t stopAt = wb; // scan positions below this
    h = 0;
    for (std::size_t i = 0; i < k; ++i)
        h = h * kRollBase + B[i];
    for (std::size_t q = 0; q < stopAt; ++q) {
        const std::size_t s = slotOf(h);
        if (slotStamp_[s] == stamp_ && slotCheck_[s] == static_cast<std::uint32_t>(h >> 32)) {
            std::size_t p = slotPos_[s];
            std::size_t qq = q;
            if (std::memcmp(A + p, B + qq, k) == 0) {
                while (p > 0 && qq > 0 && A[p - 1] == B[qq - 1]) {
                    --p;
                    --qq;
                }
                const std::size_t cap = std::min({kMeasureCap, availA - p, availB - qq});
                const std::size_t m = matchLength(A + p, B + qq, cap);
                const bool bothEnd =
                    aEndsInView && bEndsInView && p + m == availA && qq + m == availB;
                const Candidate c{p, qq, m, m >= kStrongMatch || bothEnd};
                if (m >= stage.minMatch || bothEnd) {
                    Candidate& kept = c.strong ? strong : weak;
                    const bool better =
                        kept.length == 0 || c.q < kept.q ||
                        (c.q == kept.q &&
                         (c.length > kept.length || (c.length == kept.length && c.p < kept.p)));
                    if (better) {
                        kept = c;
                        // After a long match only the same match seen from a later anchor can
                        // start earlier; after a short one, look a little further for a long one.
                        const std::size_t further = c.strong ? stage.step + k : kLookPastWeak;
                        if (c.strong || strong.length == 0)
                            stopAt = std::min(wb, q + further);
                    }
                }
            }
        }
        if (q + k >= wb)
            break;
        h = (h - B[q] * topPower) * kRollBase + B[q + k];
    }
    best = strong.length == 0 || preferWeak(weak, strong) ? weak : strong;
    return true;
}

bool Differ::record(std::uint64_t offset, std::uint64_t oldLength, const unsigned char* data,
                    std::size_t size)
{
    if (pending_) {
        const std::uint64_t end = pendingOffset_ + pendingOld_;
        const std::uint64_t gap = offset - end;
        if (gap < kPatchRecordHeadSize && pendingBytes_.size() + gap + size <= kJoinCap) {
            // The gap's bytes are the same in both archives: the ones just before this record's
            // new bytes in the translated archive.
            const unsigned char* gapBytes = b_.at(posB_ - gap);
            pendingBytes_.insert(pendingBytes_.end(), gapBytes, gapBytes + gap);
            if (size > 0)
                pendingBytes_.insert(pendingBytes_.end(), data, data + size);
            pendingOld_ += gap + oldLength;
            return true;
        }
        if (!flushPending())
            return false;
    }
    pending_ = true;
    pendingOffset_ = offset;
    pendingOld_ = oldLength;
    pendingBytes_.assign(data, data + size);
    return true;
}

bool Differ::flushPending()
{
    if (!pending_)
        return true;
    pending_ = false;
    return out_.head(pendingOffset_, pendingOld_, pendingBytes_.size()) &&
           out_.write(pendingBytes_.data(), pendingBytes_.size());
}

// The rest of the translated archive, after the end of the original: one insertion, streamed.
bool Differ::insertTail()
{
    const std::uint64_t count = b_.size() - posB_;
    if (pending_ && pendingOffset_ + pendingOld_ + kPatchRecordHeadSize > a_.size() &&
        pendingBytes_.size() + count <= kJoinCap) {
        if (!b_.ensure(posB_, static_cast<std::size_t>(count)))
            return false;
        return record(a_.size(), 0, b_.at(posB_), static_cast<std::size_t>(count));
    }
    if (!flushPending() || !out_.head(a_.size(), 0, count))
        return false;
    while (posB_ < b_.size()) {
        if (!b_.ensure(posB_, kEqualStep))
            return false;
        const std::size_t n = std::min<std::size_t>(b_.available(posB_), kEqualStep);
        if (!out_.write(b_.at(posB_), n))
            return false;
        posB_ += n;
        progress_.at(posB_);
    }
    return true;
}

Result<FilePtr> openInput(const std::filesystem::path& path, const char* role, std::uint64_t& size)
{
    std::error_code ec;
    const auto type = std::filesystem::status(systemPath(path), ec).type();
    if (type == std::filesystem::file_type::not_found)
        return Result<FilePtr>::failure(ErrorKind::NotFound, std::string("The ") + role + " " +
                                                                 displayPath(path) +
                                                                 " does not exist");
    auto file = openFile(path, FileMode::Read);
    if (!file) {
        file.status.detail = std::string("The ") + role + ": " + file.status.detail;
        return file;
    }
    size = std::filesystem::file_size(systemPath(path), ec);
    if (ec)
        return Result<FilePtr>::failure(ErrorKind::ReadFailed,
                                        "Can't read the size of " + displayPath(path));
    return file;
}

} // namespace

Result<MakeSummary> makePatchFile(const MakeRequest& request)
{
    using R = Result<MakeSummary>;
    std::uint64_t sizeA = 0, sizeB = 0;
    auto original = openInput(request.original, "original archive", sizeA);
    if (!original)
        return R::failure(original.status);
    auto translated = openInput(request.translated, "translated archive", sizeB);
    if (!translated)
        return R::failure(translated.status);
    for (const auto* input : {&request.original, &request.translated}) {
        if (sameFile(request.output, *input))
            return R::failure(ErrorKind::Other, "The patch would overwrite " + displayPath(*input) +
                                                    ": give the patch another name");
    }
    {
        std::error_code ec;
        if (std::filesystem::is_directory(systemPath(request.output), ec))
            return R::failure(ErrorKind::Other, displayPath(request.output) +
                                                    " is a folder: give the patch a file name");
    }
    // Read ahead of what the differ asks for, in large blocks.
    std::setvbuf(original.value.get(), nullptr, _IONBF, 0);
    std::setvbuf(translated.value.get(), nullptr, _IONBF, 0);

    MakeSummary summary;
    const Status status = replaceAtomically(request.output, [&](const std::filesystem::path& tmp) {
        auto out = openFile(tmp, FileMode::Create);
        if (!out)
            return Status::failure(out.status.kind, "Can't create the patch beside " +
                                                        displayPath(request.output) + ": " +
                                                        out.status.detail);
        std::vector<char> outBuffer(1u << 20);
        std::setvbuf(out.value.get(), outBuffer.data(), _IOFBF, outBuffer.size());
        PatchWriter writer(out.value.get(), request.maxPatchSize);
        unsigned char header[kPatchHeaderSize] = {'P', 'T', 'C', 'H'};
        std::memcpy(header + 4, request.headerWord.data(), 4);
        writer.write(header, sizeof header); // the hashes are filled in at the end

        InputWindow a(original.value.get(), sizeA, displayPath(request.original));
        InputWindow b(translated.value.get(), sizeB, displayPath(request.translated));
        Progress progress(request.progress, sizeB);
        Differ differ(a, b, writer, progress);
        const bool done = differ.run() && a.drain() && b.drain();
        if (!a.status().ok())
            return a.status();
        if (!b.status().ok())
            return b.status();
        if (writer.tooLarge())
            return Status::failure(
                ErrorKind::Unsupported,
                "The patch would be larger than " + std::to_string(request.maxPatchSize) +
                    " bytes, the most the patcher accepts: the archives differ too much for one "
                    "patch. Nothing was written");
        if (!done || writer.error() != 0)
            return Status::failure(writer.error() == ENOSPC ? ErrorKind::NoSpace
                                                            : ErrorKind::WriteFailed,
                                   "Can't write the patch beside " + displayPath(request.output) +
                                       ": " + std::strerror(writer.error()));
        summary.sourceHash = a.digest();
        summary.resultHash = b.digest();
        summary.patchSize = writer.size();
        summary.recordCount = writer.records();
        summary.bytesReplaced = writer.replaced();
        summary.bytesInserted = writer.inserted();
        std::vector<unsigned char> hashes;
        appendLe64(hashes, summary.sourceHash);
        appendLe64(hashes, summary.resultHash);
        if (std::fflush(out.value.get()) != 0 || std::fseek(out.value.get(), 8, SEEK_SET) != 0 ||
            std::fwrite(hashes.data(), 1, hashes.size(), out.value.get()) != hashes.size())
            return Status::failure(ErrorKind::WriteFailed, "Can't write the patch beside " +
                                                               displayPath(request.output) + ": " +
                                                               std::strerror(errno));
        Status flushed = flushToDisk(out.value.get(), tmp);
        if (std::fclose(out.value.release()) != 0 && flushed.ok())
            flushed = Status::failure(ErrorKind::WriteFailed, "Can't write " + displayPath(tmp));
        return flushed;
    });
    if (!status)
        return R::failure(status);
    return R::success(summary);
}

} // namespace qdt
