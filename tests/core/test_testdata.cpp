// The test-data builder other tests rely on: its patches must be exactly what they claim.
#include <gtest/gtest.h>

#include <filesystem>

#include "core/Xxh64.h"
#include "tests/support/TestData.h"

namespace fs = std::filesystem;

TEST(TestData, EditsAreSortedDisjointAndInsideTheArchive)
{
    for (std::uint64_t size : {1ULL, 100ULL, 4096ULL, 1000000ULL}) {
        const auto edits = testdata::translationEdits(size, 500, size);
        std::int64_t end = 0;
        for (const auto& e : edits) {
            EXPECT_GE(e.offset, end);
            EXPECT_GE(e.oldLength, 0);
            end = e.offset + e.oldLength;
            EXPECT_LE(static_cast<std::uint64_t>(end), size);
        }
    }
}

TEST(TestData, StreamedPatchMatchesTheInMemoryOne)
{
    const auto source = testdata::makeArchive(300000, 7);
    EXPECT_EQ(source, testdata::makeArchive(300000, 7));
    const auto edits = testdata::translationEdits(source.size(), 200, 7);
    const auto patch = testdata::makePatch(source, edits, 0xA1B2C3D4);

    const fs::path dir =
        fs::temp_directory_path() /
        ("qdt-testdata-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    fs::create_directories(dir);
    testdata::writeArchive(dir / "a.lpk", source.size(), 7);
    EXPECT_EQ(testdata::readFile(dir / "a.lpk"), source);
    const auto streamed =
        testdata::makePatchForFile(dir / "a.lpk", edits, 0xA1B2C3D4, dir / "b.lpk");
    EXPECT_EQ(streamed, patch);
    const auto result = testdata::applyEdits(source, edits);
    EXPECT_EQ(testdata::readFile(dir / "b.lpk"), result);
    EXPECT_NE(result, source);
    fs::remove_all(dir);
}

TEST(TestData, WorkedExampleBytes)
{
    const testdata::Bytes source = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J'};
    const std::vector<testdata::Edit> edits = {{2, 3, {'x'}}, {7, 1, {'w', 'x', 'y', 'z'}}};
    const auto result = testdata::applyEdits(source, edits);
    EXPECT_EQ(std::string(result.begin(), result.end()), "ABxFGwxyzIJ");
    const auto patch = testdata::makePatch(source, edits);
    ASSERT_EQ(patch.size(), 24u + 25u + 28u);
    const testdata::Bytes record1(patch.begin() + 24, patch.begin() + 49);
    const testdata::Bytes expected = {2, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0,  0,
                                      0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 'x'};
    EXPECT_EQ(record1, expected);
}

// The forged twin the signed-release tests serve must really fool the 64-bit hash, at any size.
TEST(TestData, Xxh64TwinHasTheSameHashAndOtherBytes)
{
    for (std::size_t size : {96u, 97u, 130u, 4096u, 100003u}) {
        const testdata::Bytes original = testdata::makeArchive(size, size);
        const testdata::Bytes twin = testdata::xxh64Twin(original);
        ASSERT_EQ(twin.size(), original.size()) << size;
        EXPECT_NE(twin, original) << size;
        EXPECT_EQ(testdata::hashOf(twin), testdata::hashOf(original)) << size;
    }
}
