// libFuzzer target for the patch reader and the streaming applier. Any input must be either
// refused by the checks or applied; an applied patch's reverse patch must be well-formed for the
// result and must give back the source exactly.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "patching/PatchEngine.h"
#include "patching/PatchFormat.h"
#include "tests/support/MemoryStreams.h"

namespace {

using Bytes = std::vector<unsigned char>;

const Bytes& sourceArchive()
{
    static const Bytes source = [] {
        Bytes b(300);
        for (std::size_t i = 0; i < b.size(); ++i)
            b[i] = static_cast<unsigned char>('A' + i % 26);
        return b;
    }();
    return source;
}

void check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const Bytes& source = sourceArchive();
    (void)qdt::checkPatch(data, size);
    auto summary = qdt::checkPatch(data, size, static_cast<std::int64_t>(source.size()));
    if (!summary.ok())
        return 0;

    MemoryInput in(source);
    MemoryOutput out;
    auto forward = qdt::streamPatch(data, size, summary.value, source.size(), in, out);
    check(forward.status.ok());
    check(out.bytes.size() == qdt::resultSize(summary.value, source.size()));
    check(forward.reversePatch.size() ==
          24 + 24 * summary.value.recordCount + summary.value.bytesReplaced);

    const Bytes& reverse = forward.reversePatch;
    auto reverseSummary = qdt::checkPatch(reverse.data(), reverse.size(),
                                          static_cast<std::int64_t>(out.bytes.size()));
    check(reverseSummary.ok());
    MemoryInput back(out.bytes);
    MemoryOutput restored;
    auto undone = qdt::streamPatch(reverse.data(), reverse.size(), reverseSummary.value,
                                   out.bytes.size(), back, restored);
    check(undone.status.ok());
    check(restored.bytes == source);
    check(reverseSummary.value.header.sourceHash == forward.resultHash);
    return 0;
}
