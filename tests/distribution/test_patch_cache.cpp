// The rules for kept patches, as tables: no window, no files.
#include <gtest/gtest.h>

#include "distribution/PatchCache.h"

namespace {

constexpr quint64 kPublished = 0x1111;
constexpr quint64 kOther = 0x2222;

TEST(PatchCache, KeptCopyIsUsedOnlyWhenAllThreeHashesAgree)
{
    struct Case
    {
        const char* what;
        quint64 published, known, now;
        bool usable;
    };
    const Case cases[] = {
        {"published, known and unchanged", kPublished, kPublished, kPublished, true},
        {"nothing published", 0, 0, 0, false},
        {"nothing published, a copy known", 0, kOther, kOther, false},
        {"no copy known", kPublished, 0, kPublished, false},
        {"a new version published", kPublished, kOther, kOther, false},
        {"the file changed since it was hashed", kPublished, kPublished, kOther, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(keptCopyUsable(c.published, c.known, c.now), c.usable) << c.what;
}

TEST(PatchCache, KeptPatchTellsWhatTheArchiveHoldsAndWhatToDo)
{
    struct Case
    {
        const char* what;
        quint64 file, published;
        bool holdsResult;
        bool applied, rollBack, usable;
    };
    const Case cases[] = {
        {"applied and current", kPublished, kPublished, true, true, false, true},
        {"applied, a new version published", kOther, kPublished, true, false, true, false},
        {"applied, no longer published", kOther, 0, true, false, true, false},
        {"not applied, current", kPublished, kPublished, false, false, false, true},
        {"not applied, outdated", kOther, kPublished, false, false, false, false},
        {"not applied, not published", kOther, 0, false, false, false, false},
    };
    for (const Case& c : cases) {
        const KeptPatchVerdict v = judgeKeptPatch(c.file, c.published, c.holdsResult);
        EXPECT_EQ(v.applied, c.applied) << c.what;
        EXPECT_EQ(v.rollBack, c.rollBack) << c.what;
        EXPECT_EQ(v.usable, c.usable) << c.what;
    }
}

} // namespace
