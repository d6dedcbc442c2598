// The patch format checks and the streaming engine, on real files in temporary folders.
#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <limits>
#include <random>
#include <set>
#include <thread>

#include "core/ArchiveLock.h"
#include "core/ArchivePath.h"
#include "core/FileIo.h"
#include "core/LongPath.h"
#include "core/Xxh64.h"
#include "game/platform/NativePath.h"
#include "patching/HashingFileInput.h"
#include "patching/PatchEngine.h"
#include "patching/PatchFormat.h"
#include "tests/patching/StepByStep.h"
#include "tests/patching/TempDir.h"
#include "tests/support/JournalText.h"
#include "tests/support/MemoryStreams.h"
#include "tests/support/TestData.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;
using testdata::Bytes;

namespace {

Bytes bytesOf(const char* text)
{
    return Bytes(text, text + std::strlen(text));
}

// Listed as the engine lists a folder: the C runtime's listing can't take a long folder path.
std::set<std::string> namesIn(const fs::path& dir)
{
    std::set<std::string> names;
    const auto entries = qdt::folderEntries(dir);
    EXPECT_TRUE(entries.ok()) << entries.status.detail;
    for (const auto& e : entries.value)
        names.insert(qdt::displayPath(e));
    return names;
}

qdt::Status applyFile(const fs::path& archive, const Bytes& patch, const fs::path& backup = {},
                      const fs::path& reverse = {})
{
    qdt::ApplyRequest r;
    r.archive = archive;
    r.patch = patch.data();
    r.patchSize = patch.size();
    r.backup = backup;
    r.reversePatch = reverse;
    return qdt::applyPatchToArchive(r);
}

// The worked example: ABCDEFGHIJ, record 1 replaces CDE by x, record 2 replaces H by wxyz.
std::vector<testdata::Edit> exampleEdits()
{
    return {{2, 3, bytesOf("x")}, {7, 1, bytesOf("wxyz")}};
}

TEST(PatchFormat, WorkedExampleRecordBytes)
{
    const Bytes patch = testdata::buildPatch(0, 0, 0, {exampleEdits()[0]});
    const Bytes record(patch.begin() + 24, patch.end());
    const Bytes expected = {2, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0,  0,
                            0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 'x'};
    EXPECT_EQ(record, expected);
    const auto summary = qdt::checkPatch(patch.data(), patch.size(), 10);
    ASSERT_TRUE(summary.ok()) << summary.status.detail;
    EXPECT_EQ(summary.value.recordCount, 1u);
    EXPECT_EQ(summary.value.bytesReplaced, 3u);
    EXPECT_EQ(summary.value.bytesInserted, 1u);
}

TEST(PatchFormat, HeaderFields)
{
    const Bytes patch = testdata::buildPatch(0xA1B2C3D4, 0x1122334455667788ULL, 0x99, {});
    const auto h = qdt::readPatchHeader(patch.data(), patch.size());
    ASSERT_TRUE(h.ok());
    EXPECT_EQ(h.value.headerWord, (std::array<unsigned char, 4>{0xD4, 0xC3, 0xB2, 0xA1}));
    EXPECT_EQ(h.value.sourceHash, 0x1122334455667788ULL);
    EXPECT_EQ(h.value.resultHash, 0x99u);
    EXPECT_EQ(qdt::readPatchHeader(patch.data(), 23).status.kind, qdt::ErrorKind::Malformed);
    EXPECT_EQ(qdt::readPatchHeader(patch.data(), 3).status.kind, qdt::ErrorKind::BadMagic);
    EXPECT_EQ(qdt::readPatchHeader(nullptr, 0).status.kind, qdt::ErrorKind::BadMagic);
    const Bytes other = bytesOf("PTCX0000000000000000000000");
    EXPECT_EQ(qdt::readPatchHeader(other.data(), other.size()).status.kind,
              qdt::ErrorKind::BadMagic);
}

// A 10-byte archive and patches that are broken in one way each.
struct BrokenCase
{
    const char* what;
    Bytes patch;
    qdt::ErrorKind kind;
};

Bytes record(std::int64_t offset, std::int64_t oldLength, std::int64_t newLength,
             std::size_t dataBytes)
{
    Bytes r;
    stepbystep::put64(r, offset);
    stepbystep::put64(r, oldLength);
    stepbystep::put64(r, newLength);
    r.resize(r.size() + dataBytes, 'n');
    return r;
}

std::vector<BrokenCase> brokenCases(std::uint64_t sourceHash)
{
    const Bytes header = testdata::buildPatch(7, sourceHash, 0, {});
    auto with = [&](std::initializer_list<Bytes> records) {
        Bytes p = header;
        for (const auto& r : records)
            p.insert(p.end(), r.begin(), r.end());
        return p;
    };
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    using K = qdt::ErrorKind;
    return {
        {"empty", {}, K::BadMagic},
        {"three bytes", bytesOf("PTC"), K::BadMagic},
        {"other magic", bytesOf("XTCH00000000000000000000"), K::BadMagic},
        {"short header", Bytes(header.begin(), header.begin() + 20), K::Malformed},
        {"record head cut", with({Bytes(10, 0)}), K::Malformed},
        {"new bytes cut", with({record(0, 1, 5, 3)}), K::Malformed},
        {"negative offset", with({record(-1, 1, 1, 1)}), K::Malformed},
        {"negative old length", with({record(1, -2, 1, 1)}), K::Malformed},
        {"negative new length", with({record(1, 1, -1, 0)}), K::Malformed},
        {"huge new length", with({record(1, 1, kMax, 0)}), K::Malformed},
        {"range overflows", with({record(kMax, 2, 0, 0)}), K::Malformed},
        {"ends past the archive", with({record(8, 5, 1, 1)}), K::Malformed},
        {"starts past the archive", with({record(11, 0, 1, 1)}), K::Malformed},
        {"out of order", with({record(5, 1, 1, 1), record(2, 1, 1, 1)}), K::Malformed},
        {"overlapping", with({record(2, 3, 1, 1), record(4, 1, 1, 1)}), K::Malformed},
        {"second record cut", with({record(2, 1, 1, 1), Bytes(23, 0)}), K::Malformed},
    };
}

TEST(PatchEngine, BrokenPatchesChangeNothing)
{
    TempDir dir;
    const Bytes source = bytesOf("ABCDEFGHIJ");
    for (const auto& c : brokenCases(testdata::hashOf(source))) {
        SCOPED_TRACE(c.what);
        testdata::writeFile(dir / "data.lpk", source);
        testdata::writeFile(dir / "backup.lpk", bytesOf("old backup"));
        testdata::writeFile(dir / "patch_KR.data", bytesOf("old reverse"));
        const auto before = namesIn(dir.path());

        EXPECT_EQ(qdt::checkPatch(c.patch.data(), c.patch.size(), 10).status.kind, c.kind);
        const auto status =
            applyFile(dir / "data.lpk", c.patch, dir / "backup.lpk", dir / "patch_KR.data");
        EXPECT_EQ(status.kind, c.kind) << status.detail;
        EXPECT_EQ(testdata::readFile(dir / "data.lpk"), source);
        EXPECT_EQ(testdata::readFile(dir / "backup.lpk"), bytesOf("old backup"));
        EXPECT_EQ(testdata::readFile(dir / "patch_KR.data"), bytesOf("old reverse"));
        EXPECT_EQ(namesIn(dir.path()), before);
    }
}

// A run killed while it wrote left temporary files beside the archive, the backup and the reverse
// patch; the next run removes them all and leaves only its own files.
TEST(PatchEngine, NextRunClearsTemporariesOfKilledRuns)
{
    TempDir dir;
    const Bytes source = bytesOf("ABCDEFGHIJ");
    testdata::writeFile(dir / "data.lpk", source);
    for (const char* name :
         {"data.lpk.tmp-999-1-0", "backup.tmp-999-2-0", "patch_KR.data.tmp-999-3-0"})
        testdata::writeFile(dir / name, bytesOf("left over"));
    const Bytes patch = testdata::makePatch(source, exampleEdits());
    ASSERT_TRUE(applyFile(dir / "data.lpk", patch, dir / "backup", dir / "patch_KR.data").ok());
    EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"data.lpk", "backup", "patch_KR.data"}));
}

// Only files this program made go: names that merely look like ours, folders and links stay.
TEST(PatchEngine, ClearingTemporariesSparesEverythingElse)
{
    TempDir dir;
    fs::create_directories(dir / "keep");
    const fs::path archive = dir / "data.tmp-1.lpk";
    const fs::path backup = dir / "keep" / "orig.tmp-2024.lpk";
    const Bytes source = bytesOf("ABCDEFGHIJ");
    testdata::writeFile(archive, source);
    const char* const decoys[] = {
        "data.tmp-2.lpk",            // a sibling named like the archive's first part
        "data.lpk.tmp-notes",        // not our pattern
        "data.tmp-1.lpk.tmp-1-2",    // two groups of digits, not three
        "data.tmp-1.lpk.tmp-1-2-3x", // a letter after the digits
        "data.tmp-1.lpk.tmp--1-2",   // an empty group
        "keep/orig.tmp-2023.lpk",    // the user's own files beside the backup
        "keep/orig.tmp-notes.txt",
        "keep/orig.tmp-2024.lpk.tmp-1-2-3-4", // four groups
    };
    for (const char* name : decoys)
        testdata::writeFile(dir / name, bytesOf("user data"));
    // A folder with our exact pattern is not ours either.
    fs::create_directories(dir / "data.tmp-1.lpk.tmp-5-6-7");
    const char* const stale[] = {"data.tmp-1.lpk.tmp-999-1-0", "keep/orig.tmp-2024.lpk.tmp-1-2-3",
                                 "patch_KR.data.tmp-12-34-56"};
    for (const char* name : stale)
        testdata::writeFile(dir / name, bytesOf("left over"));
#ifndef _WIN32
    // A link with our pattern may point at anything: it stays, and so does its target.
    testdata::writeFile(dir / "target.txt", bytesOf("user data"));
    fs::create_symlink(dir / "target.txt", dir / "data.tmp-1.lpk.tmp-8-8-8");
#endif

    const Bytes patch = testdata::makePatch(source, exampleEdits());
    ASSERT_TRUE(applyFile(archive, patch, backup, dir / "patch_KR.data").ok());

    EXPECT_EQ(testdata::readFile(archive), bytesOf("ABxFGwxyzIJ"));
    EXPECT_EQ(testdata::readFile(backup), source);
    for (const char* name : decoys)
        EXPECT_EQ(testdata::readFile(dir / name), bytesOf("user data")) << name;
    EXPECT_TRUE(fs::is_directory(dir / "data.tmp-1.lpk.tmp-5-6-7"));
    for (const char* name : stale)
        EXPECT_FALSE(fs::exists(dir / name)) << name;
#ifndef _WIN32
    EXPECT_TRUE(fs::is_symlink(dir / "data.tmp-1.lpk.tmp-8-8-8"));
    EXPECT_EQ(testdata::readFile(dir / "target.txt"), bytesOf("user data"));
#endif
}

// A run that is refused, or that finds the archive changing under it, leaves every file as it
// was: the archive, the previous backup and reverse patch, and no temporary of its own.
TEST(PatchEngine, RefusedRunsKeepThePreviousBackupAndReversePatch)
{
    // Large enough for progress reports (every 8 MiB) during the pass.
    const Bytes source = testdata::makeArchive(20 * 1024 * 1024 + 123, 21);
    const auto edits = testdata::translationEdits(source.size(), 50, 21);
    const Bytes good = testdata::makePatch(source, edits);
    const Bytes other = testdata::makeArchive(source.size(), 22);
    enum class Meddle
    {
        None,
        AtTheStart, // bytes already read
        AtTheEnd,   // bytes not read yet
    };
    struct Case
    {
        const char* what;
        Bytes patch;
        Meddle meddle;
        qdt::ErrorKind kind;
    };
    const Case cases[] = {
        {"wrong result hash",
         testdata::buildPatch(1, testdata::hashOf(source), testdata::hashOf(source) ^ 1, edits),
         Meddle::None, qdt::ErrorKind::ResultMismatch},
        {"patch for another archive", testdata::makePatch(other, edits), Meddle::None,
         qdt::ErrorKind::SourceMismatch},
        {"written to at the start during the pass", good, Meddle::AtTheStart,
         qdt::ErrorKind::ReadFailed},
        {"written to at the end during the pass", good, Meddle::AtTheEnd,
         qdt::ErrorKind::SourceMismatch},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const fs::path archive = dir / "data.lpk";
        testdata::writeFile(archive, source);
        testdata::writeFile(dir / "backup", bytesOf("previous backup"));
        testdata::writeFile(dir / "patch_KR.data", bytesOf("previous reverse patch"));
        Bytes expected = source;
        bool meddled = false;
        qdt::ApplyRequest r;
        r.archive = archive;
        r.patch = c.patch.data();
        r.patchSize = c.patch.size();
        r.backup = dir / "backup";
        r.reversePatch = dir / "patch_KR.data";
        r.progress = [&](std::uint64_t done, std::uint64_t total) {
            if (c.meddle == Meddle::None || meddled || done == 0 || done >= total)
                return;
            meddled = true;
            // Another program writes into the archive in place, as a running launcher could.
            const std::size_t at = c.meddle == Meddle::AtTheStart ? 10 : source.size() - 10;
            std::FILE* f = std::fopen(qdt::displayPath(archive).c_str(), "r+b");
            ASSERT_NE(f, nullptr);
            std::fseek(f, static_cast<long>(at), SEEK_SET);
            std::fputs("MEDDLED", f);
            std::fclose(f);
            std::memcpy(expected.data() + at, "MEDDLED", 7);
        };
        const qdt::Status status = qdt::applyPatchToArchive(r);
        EXPECT_EQ(status.kind, c.kind) << c.what << ": " << status.detail;
        EXPECT_EQ(c.meddle != Meddle::None, meddled) << c.what;
        EXPECT_EQ(testdata::readFile(archive), expected) << c.what;
        EXPECT_EQ(testdata::readFile(dir / "backup"), bytesOf("previous backup")) << c.what;
        EXPECT_EQ(testdata::readFile(dir / "patch_KR.data"), bytesOf("previous reverse patch"))
            << c.what;
        EXPECT_EQ(namesIn(dir.path()),
                  (std::set<std::string>{"backup", "data.lpk", "patch_KR.data"}))
            << c.what;
    }
}

// The backup is already the archive's second name (a run that failed after making it, or a
// second apply of the same backup): the next run leaves no temporary behind.
TEST(PatchEngine, BackupThatIsAlreadyTheArchiveLeavesNoTemporary)
{
    TempDir dir;
    const Bytes source = bytesOf("ABCDEFGHIJ");
    testdata::writeFile(dir / "data.lpk", source);
    fs::create_hard_link(dir / "data.lpk", dir / "backup");
    ASSERT_TRUE(applyFile(dir / "data.lpk", testdata::makePatch(source, exampleEdits()),
                          dir / "backup", dir / "patch_KR.data")
                    .ok());
    EXPECT_EQ(testdata::readFile(dir / "backup"), source);
    EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"backup", "data.lpk", "patch_KR.data"}));
}

#ifndef _WIN32
// The replaced archive is still the player's: owner, group, mode and extended attributes stay,
// and the reverse patch gets the same owner and no wider mode. Run as root, as the patcher is.
TEST(PatchEngine, ReplacedArchiveKeepsOwnerModeAndAttributes)
{
    TempDir dir;
    const fs::path archive = dir / "data.lpk";
    const Bytes source = testdata::makeArchive(100000, 5);
    testdata::writeFile(archive, source);
    ASSERT_EQ(::chmod(archive.c_str(), 0600), 0);
    const bool asRoot = ::geteuid() == 0;
    if (asRoot) {
        ASSERT_EQ(::chown(archive.c_str(), 1234, 2345), 0);
    }
    const bool withAttribute = ::setxattr(archive.c_str(), "user.qdt", "kept", 4, 0) == 0;

    const Bytes patch =
        testdata::makePatch(source, testdata::translationEdits(source.size(), 20, 5));
    ASSERT_TRUE(applyFile(archive, patch, dir / "backup", dir / "patch_KR.data").ok());

    for (const char* name : {"data.lpk", "patch_KR.data", "backup"}) {
        struct stat st
        {
        };
        ASSERT_EQ(::stat((dir / name).c_str(), &st), 0) << name;
        EXPECT_EQ(st.st_mode & 07777, 0600u) << name;
        if (asRoot) {
            EXPECT_EQ(st.st_uid, 1234u) << name;
            EXPECT_EQ(st.st_gid, 2345u) << name;
        }
    }
    if (withAttribute) {
        char value[16] = {};
        EXPECT_EQ(::getxattr(archive.c_str(), "user.qdt", value, sizeof value), 4);
        EXPECT_STREQ(value, "kept");
    }
}

// A linked archive: the file it points to is patched, the link stays, and the backup is the
// content, not a copy of the link.
TEST(PatchEngine, LinkedArchiveIsPatchedWhereItLives)
{
    TempDir dir;
    fs::create_directories(dir / "real");
    const Bytes source = bytesOf("ABCDEFGHIJ");
    testdata::writeFile(dir / "real" / "data.lpk", source);
    fs::create_symlink(fs::path("real") / "data.lpk", dir / "data.lpk");
    ASSERT_TRUE(applyFile(dir / "data.lpk", testdata::makePatch(source, exampleEdits()),
                          dir / "backup", dir / "patch_KR.data")
                    .ok());
    EXPECT_TRUE(fs::is_symlink(dir / "data.lpk"));
    EXPECT_EQ(fs::read_symlink(dir / "data.lpk"), fs::path("real") / "data.lpk");
    EXPECT_EQ(testdata::readFile(dir / "real" / "data.lpk"), bytesOf("ABxFGwxyzIJ"));
    EXPECT_FALSE(fs::is_symlink(dir / "backup"));
    EXPECT_EQ(testdata::readFile(dir / "backup"), source);
    EXPECT_EQ(namesIn(dir / "real"), std::set<std::string>{"data.lpk"});
}
#endif

// A second run on the same archive while one is under way: refused with a message that says so,
// and the first run's live temporary file is left alone. Once the first is done, it goes through.
TEST(PatchEngine, SecondRunOnTheSameArchiveIsRefusedClearly)
{
    TempDir dir;
    const Bytes source = bytesOf("ABCDEFGHIJ");
    testdata::writeFile(dir / "data.lpk", source);
    testdata::writeFile(dir / "data.lpk.tmp-1-2-3", bytesOf("the first run's work"));
    const Bytes patch = testdata::makePatch(source, exampleEdits());

    // The first run holds the lock from another thread, as another process would.
    std::promise<void> held, release;
    std::thread first([&] {
        auto lock = qdt::ArchiveLock::acquire(dir / "data.lpk");
        EXPECT_TRUE(lock.ok()) << lock.status.detail;
        held.set_value();
        release.get_future().wait();
    });
    held.get_future().wait();
    const qdt::Status second = applyFile(dir / "data.lpk", patch, dir / "backup");
    release.set_value();
    first.join();

    EXPECT_EQ(second.kind, qdt::ErrorKind::Other);
    EXPECT_NE(second.detail.find("Another patcher is working on"), std::string::npos)
        << second.detail;
    EXPECT_EQ(testdata::readFile(dir / "data.lpk"), source);
    EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"data.lpk", "data.lpk.tmp-1-2-3"}));

    ASSERT_TRUE(applyFile(dir / "data.lpk", patch, dir / "backup").ok());
    EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"backup", "data.lpk"}));
}

TEST(PatchEngine, WorkedExample)
{
    TempDir dir;
    const Bytes source = bytesOf("ABCDEFGHIJ");
    testdata::writeFile(dir / "data.lpk", source);
    const Bytes patch = testdata::makePatch(source, exampleEdits(), 0xDEADBEEF);

    ASSERT_TRUE(applyFile(dir / "data.lpk", patch, dir / "backup", dir / "patch_KR.data").ok());
    const Bytes patched = testdata::readFile(dir / "data.lpk");
    EXPECT_EQ(patched, bytesOf("ABxFGwxyzIJ"));
    EXPECT_EQ(testdata::readFile(dir / "backup"), source);

    const Bytes expectedReverse =
        testdata::buildPatch(0xDEADBEEF, testdata::hashOf(patched), testdata::hashOf(source),
                             {{2, 1, bytesOf("CDE")}, {5, 4, bytesOf("H")}});
    const Bytes reverse = testdata::readFile(dir / "patch_KR.data");
    EXPECT_EQ(reverse, expectedReverse);

    ASSERT_TRUE(applyFile(dir / "data.lpk", reverse).ok());
    EXPECT_EQ(testdata::readFile(dir / "data.lpk"), source);
    EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"backup", "data.lpk", "patch_KR.data"}));
}

TEST(PatchEngine, PatchWithoutRecordsRewritesTheSameBytes)
{
    TempDir dir;
    const Bytes source = testdata::makeArchive(5000, 3);
    testdata::writeFile(dir / "data.lpk", source);
    const Bytes patch = testdata::makePatch(source, {}, 0x01020304);
    ASSERT_EQ(patch.size(), 24u);
    ASSERT_TRUE(applyFile(dir / "data.lpk", patch, {}, dir / "rev").ok());
    EXPECT_EQ(testdata::readFile(dir / "data.lpk"), source);
    const Bytes reverse = testdata::readFile(dir / "rev");
    EXPECT_EQ(reverse, testdata::buildPatch(0x01020304, testdata::hashOf(source),
                                            testdata::hashOf(source), {}));
}

// Random well-formed edits, including what translation edits rarely make: adjacent records,
// several insertions at one offset, empty records, edits at both ends.
std::vector<testdata::Edit> randomEdits(std::size_t size, std::mt19937_64& rng)
{
    std::vector<testdata::Edit> edits;
    std::size_t pos = 0;
    const int count = static_cast<int>(rng() % 40);
    for (int i = 0; i < count; ++i) {
        const std::size_t gap = rng() % 3 == 0 ? 0 : rng() % (size / 8 + 2);
        if (pos + gap > size)
            break;
        pos += gap;
        const std::size_t oldLength =
            std::min<std::size_t>(rng() % 3 == 0 ? 0 : rng() % 50, size - pos);
        Bytes newBytes(rng() % 4 == 0 ? 0 : rng() % 60);
        for (auto& b : newBytes)
            b = static_cast<unsigned char>(rng());
        edits.push_back(
            {static_cast<std::int64_t>(pos), static_cast<std::int64_t>(oldLength), newBytes});
        pos += oldLength;
    }
    return edits;
}

TEST(PatchEngine, SameBytesAsTheStepByStepAlgorithm)
{
    TempDir dir;
    std::mt19937_64 rng(20261210);
    // The last size has stretches between records long enough for the system to copy them.
    const std::size_t sizes[] = {0, 1, 17, 4096, 70000, 3 * (1u << 20) + 5, 40 * (1u << 20) + 3};
    int round = 0;
    for (std::size_t size : sizes) {
        for (int variant = 0; variant < 4; ++variant, ++round) {
            SCOPED_TRACE("size " + std::to_string(size) + " variant " + std::to_string(variant));
            const Bytes source = testdata::makeArchive(size, static_cast<std::uint64_t>(round));
            const auto edits =
                variant == 0
                    ? testdata::translationEdits(size, 300, static_cast<std::uint64_t>(round))
                    : randomEdits(size, rng);
            const Bytes patch =
                testdata::makePatch(source, edits, static_cast<std::uint32_t>(rng()));
            const auto expected = stepbystep::apply(source, patch);

            testdata::writeFile(dir / "data.lpk", source);
            const auto status = applyFile(dir / "data.lpk", patch, {}, dir / "rev");
            ASSERT_TRUE(status.ok()) << status.detail;
            EXPECT_EQ(testdata::readFile(dir / "data.lpk"), expected.content);
            const Bytes reverse = testdata::readFile(dir / "rev");
            EXPECT_EQ(reverse, expected.reverse);

            ASSERT_TRUE(applyFile(dir / "data.lpk", reverse).ok());
            EXPECT_EQ(testdata::readFile(dir / "data.lpk"), source);
        }
    }
}

TEST(PatchEngine, WrongArchiveIsRefusedBeforeAnythingIsWritten)
{
    TempDir dir;
    const Bytes source = bytesOf("ABCDEFGHIJ");
    const Bytes patch = testdata::makePatch(source, exampleEdits());
    testdata::writeFile(dir / "data.lpk", bytesOf("ABCDEFGHIK"));
    const auto status = applyFile(dir / "data.lpk", patch, dir / "backup", dir / "rev");
    EXPECT_EQ(status.kind, qdt::ErrorKind::SourceMismatch);
    EXPECT_NE(status.detail.find("data.lpk"), std::string::npos) << status.detail;
    EXPECT_EQ(testdata::readFile(dir / "data.lpk"), bytesOf("ABCDEFGHIK"));
    EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"data.lpk"});
}

TEST(PatchEngine, ResultWithoutThePromisedHashNeverReachesTheArchive)
{
    TempDir dir;
    const Bytes source = bytesOf("ABCDEFGHIJ");
    // Right source hash, records that make something else than the result hash names (as a
    // download damaged inside a record's new bytes would).
    Bytes patch = testdata::makePatch(source, exampleEdits());
    patch.back() ^= 0x20;
    testdata::writeFile(dir / "data.lpk", source);
    const auto status = applyFile(dir / "data.lpk", patch, {}, dir / "rev");
    EXPECT_EQ(status.kind, qdt::ErrorKind::ResultMismatch);
    EXPECT_EQ(testdata::readFile(dir / "data.lpk"), source);
    EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"data.lpk"});
}

TEST(PatchEngine, MissingArchiveAndUnwritableExtrasAreReported)
{
    TempDir dir;
    const Bytes source = bytesOf("ABCDEFGHIJ");
    const Bytes patch = testdata::makePatch(source, exampleEdits());
    EXPECT_EQ(applyFile(dir / "data.lpk", patch).kind, qdt::ErrorKind::NotFound);

    testdata::writeFile(dir / "data.lpk", source);
    const auto backup = applyFile(dir / "data.lpk", patch, dir / "no" / "such" / "backup");
    EXPECT_EQ(backup.kind, qdt::ErrorKind::BackupFailed) << backup.detail;
    EXPECT_EQ(testdata::readFile(dir / "data.lpk"), source);

    // Without its reverse patch a translated archive could not be put back: no reverse, no change.
    const auto reverse = applyFile(dir / "data.lpk", patch, {}, dir / "no" / "such" / "rev");
    EXPECT_FALSE(reverse.ok());
    EXPECT_EQ(testdata::readFile(dir / "data.lpk"), source);
    EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"data.lpk"});
}

TEST(PatchEngine, ProgressRisesToTheTotal)
{
    TempDir dir;
    const Bytes source = testdata::makeArchive(40u << 20, 5);
    testdata::writeFile(dir / "data.lpk", source);
    const Bytes patch =
        testdata::makePatch(source, testdata::translationEdits(source.size(), 1000, 5));
    std::vector<std::pair<std::uint64_t, std::uint64_t>> calls;
    qdt::ApplyRequest r;
    r.archive = dir / "data.lpk";
    r.patch = patch.data();
    r.patchSize = patch.size();
    r.progress = [&](std::uint64_t done, std::uint64_t total) { calls.emplace_back(done, total); };
    ASSERT_TRUE(qdt::applyPatchToArchive(r).ok());
    ASSERT_GE(calls.size(), 4u);
    for (std::size_t i = 1; i < calls.size(); ++i) {
        EXPECT_GE(calls[i].first, calls[i - 1].first);
        EXPECT_EQ(calls[i].second, calls[0].second);
    }
    EXPECT_EQ(calls.back().first, calls.back().second);
}

TEST(ArchiveState, TellsSourceResultAndNeither)
{
    TempDir dir;
    const Bytes source = bytesOf("ABCDEFGHIJ");
    const Bytes patch = testdata::makePatch(source, exampleEdits());
    testdata::writeFile(dir / "data.lpk", source);
    auto state = qdt::archiveState(dir / "data.lpk", patch.data(), patch.size());
    ASSERT_TRUE(state.ok());
    EXPECT_EQ(state.value, qdt::ArchiveState::Original);
    ASSERT_TRUE(applyFile(dir / "data.lpk", patch).ok());
    EXPECT_EQ(qdt::archiveState(dir / "data.lpk", patch.data(), patch.size()).value,
              qdt::ArchiveState::Patched);
    testdata::writeFile(dir / "data.lpk", bytesOf("something else"));
    EXPECT_EQ(qdt::archiveState(dir / "data.lpk", patch.data(), patch.size()).value,
              qdt::ArchiveState::Unknown);
    EXPECT_EQ(qdt::archiveState(dir / "missing.lpk", patch.data(), patch.size()).status.kind,
              qdt::ErrorKind::NotFound);
    const Bytes junk = bytesOf("junk");
    EXPECT_EQ(qdt::archiveState(dir / "data.lpk", junk.data(), junk.size()).status.kind,
              qdt::ErrorKind::BadMagic);
}

TEST(PatchEngine, GamePathsWithMixedSeparatorsAndCyrillicFolders)
{
    TempDir dir(u8"Игры/Quen Dara");
    fs::create_directories(dir.path() / "bin" / "x64");
    fs::create_directories(dir.path() / "ZNGame");
    std::string game = qdt::displayPath(dir.path() / "bin");
    game += "\\x64/QuenDara.exe";
    const fs::path archive = qdt::nativePath(qdt::archivePath(game));
    const Bytes source = testdata::makeArchive(10000, 11);
    testdata::writeFile(dir.path() / "ZNGame" / "data.lpk", source);
    ASSERT_TRUE(fs::exists(archive)) << qdt::displayPath(archive);

    const Bytes patch =
        testdata::makePatch(source, testdata::translationEdits(source.size(), 20, 11));
    const auto status =
        applyFile(archive, patch, dir.path() / u8"копия.lpk", dir.path() / "patch_KR.data");
    ASSERT_TRUE(status.ok()) << status.detail;
    EXPECT_EQ(testdata::readFile(dir.path() / u8"копия.lpk"), source);
    EXPECT_EQ(
        qdt::archiveState(dir.path() / "ZNGame" / "data.lpk", patch.data(), patch.size()).value,
        qdt::ArchiveState::Patched);
}

// A tiny range of bytes read through the engine's streaming pass from memory, with a source that
// ends early: the pass fails instead of inventing bytes.
TEST(StreamPatch, SourceShorterThanAnnouncedFails)
{
    const Bytes source = bytesOf("ABCDEFGHIJ");
    const Bytes patch = testdata::makePatch(source, exampleEdits());
    const auto summary = qdt::checkPatch(patch.data(), patch.size(), 10);
    ASSERT_TRUE(summary.ok());
    MemoryInput shortInput(bytesOf("ABCDEF"));
    MemoryOutput out;
    const auto r = qdt::streamPatch(patch.data(), patch.size(), summary.value, 10, shortInput, out);
    EXPECT_EQ(r.status.kind, qdt::ErrorKind::ReadFailed);

    MemoryInput full(source);
    MemoryOutput out2;
    const auto ok = qdt::streamPatch(patch.data(), patch.size(), summary.value, 10, full, out2);
    ASSERT_TRUE(ok.status.ok());
    EXPECT_EQ(out2.bytes, bytesOf("ABxFGwxyzIJ"));
    EXPECT_EQ(ok.resultHash, testdata::hashOf(out2.bytes));
}

TEST(PatchFormat, PositionsBeyondFourGibibytes)
{
    // Offsets past 2^32 in an archive that large are fine; the record walk does not truncate them.
    const std::int64_t big = (std::int64_t{1} << 32) + 12345;
    const Bytes patch =
        testdata::buildPatch(0, 0, 0, {{big, 10, bytesOf("abc")}, {big + 10, 0, bytesOf("d")}});
    const auto summary = qdt::checkPatch(patch.data(), patch.size(), big + 100);
    ASSERT_TRUE(summary.ok()) << summary.status.detail;
    EXPECT_EQ(summary.value.minimumSourceSize, static_cast<std::uint64_t>(big + 10));
    EXPECT_EQ(qdt::resultSize(summary.value, static_cast<std::uint64_t>(big + 100)),
              static_cast<std::uint64_t>(big + 100 - 10 + 4));
    EXPECT_EQ(qdt::checkPatch(patch.data(), patch.size(), big + 9).status.kind,
              qdt::ErrorKind::Malformed);
}

// What a run stopped during an in-place write leaves: a journal beside the archive, the patched
// copy it names, the backup, and an archive written part of the way. The next run settles it from
// whatever is intact, or says it can't and leaves everything as it found it.
TEST(PatchEngine, StoppedInPlaceWriteIsFinishedOrUndone)
{
    using Outcome = qdt::RecoveryReport::Outcome;
    const Bytes source = testdata::makeArchive(300000, 41);
    const Bytes patch =
        testdata::makePatch(source, testdata::translationEdits(source.size(), 60, 41));
    const Bytes result = stepbystep::apply(source, patch).content;
    Bytes mix = result;
    mix.resize(source.size());
    std::copy(source.begin() + 150000, source.end(), mix.begin() + 150000);
    const std::string pendingName = "data.lpk.tmp-4242-1-0";
    const auto resultHash = static_cast<std::uint64_t>(stepbystep::le64(patch, 16));
    const auto sourceHash = static_cast<std::uint64_t>(stepbystep::le64(patch, 8));

    enum Journal
    {
        Ours,
        Foreign,
        PointsOutside,
        OursOfARestore
    };
    // What happened between the stop and the recovery.
    enum After
    {
        Nothing,
        ArchiveReplaced,  // the launcher put a new file in the archive's place
        ArchiveRewritten, // the launcher rewrote the archive with another size
        CopyIsALink,      // the patched copy is a link to a file elsewhere
        CopyHasTwoNames,  // the patched copy is a second name of a file elsewhere
    };
    struct Case
    {
        const char* what;
        Journal journal;
        Bytes archive;
        const Bytes* pending; // null: missing
        const Bytes* backup;  // null: none named
        Outcome outcome;
        Bytes archiveAfter;
        const char* says;
        After after = Nothing;
    };
    const Bytes damaged(1000, 'd');
    const Bytes updated = testdata::makeArchive(310000, 42);
    const Case cases[] = {
        {"written to the end", Ours, result, &result, &source, Outcome::Completed, result,
         "had been written: "},
        {"half written", Ours, mix, &result, &source, Outcome::Completed, result,
         "completed: " /* then which content */},
        {"half written, no backup", Ours, mix, &result, nullptr, Outcome::Completed, result,
         "holds the translation."},
        {"a restore half written", OursOfARestore, mix, &result, nullptr, Outcome::Completed,
         result, "holds the original game content."},
        {"patched copy lost", Ours, mix, nullptr, &source, Outcome::Undone, source,
         "holds the original game content as before, copied back"},
        {"patched copy damaged", Ours, mix, &damaged, &source, Outcome::Undone, source, "undone"},
        {"not begun", Ours, source, nullptr, nullptr, Outcome::Undone, source,
         "Nothing had been written"},
        {"nothing intact", Ours, mix, &damaged, &damaged, Outcome::Failed, mix,
         "neither completed nor undone"},
        {"someone else's file of that name", Foreign, mix, &result, &source, Outcome::Nothing, mix,
         ""},
        {"journal naming a file that is not our temporary", PointsOutside, mix, &result, &source,
         Outcome::Nothing, mix, ""},
        {"launcher replaced the archive since", Ours, mix, &result, &source, Outcome::LeftAlone,
         updated, "left as it is", ArchiveReplaced},
        {"launcher rewrote the archive since", Ours, mix, &result, &source, Outcome::LeftAlone,
         updated, "changed by another program", ArchiveRewritten},
        {"launcher repaired it to the original", Ours, mix, nullptr, nullptr, Outcome::Undone,
         source, "Nothing had been written", ArchiveReplaced},
#ifndef _WIN32
        {"patched copy is a link to a file elsewhere", Ours, mix, &result, nullptr, Outcome::Failed,
         mix, "is not a file this program made", CopyIsALink},
        {"patched copy is a second name of a file elsewhere", Ours, mix, &result, nullptr,
         Outcome::Failed, mix, "is not a file this program made", CopyHasTwoNames},
#endif
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir(u8"Игры");
        TempDir elsewhere("outside");
        const fs::path archive = dir / "data.lpk";
        testdata::writeFile(archive, c.archive);
        const fs::path pending = dir / pendingName;
        if (c.pending)
            testdata::writeFile(pending, *c.pending);
        if (c.backup)
            testdata::writeFile(dir / "backup.lpk", *c.backup);
        const fs::path backup = c.backup ? fs::absolute(dir / "backup.lpk") : fs::path();
        std::string journal;
        if (c.journal == Ours || c.journal == OursOfARestore)
            journal = testjournal::forArchive(archive, pendingName, resultHash, sourceHash, backup,
                                              result.size(),
                                              c.journal == Ours ? "translation" : "original");
        else if (c.journal == Foreign)
            journal = "notes about the patching\n";
        else
            journal = testjournal::forArchive(archive, "backup.lpk", resultHash, sourceHash, backup,
                                              result.size());
        testdata::writeFile(dir / "data.lpk.patching", Bytes(journal.begin(), journal.end()));

        const fs::path outside = elsewhere / "precious";
        const Bytes precious = result; // even with the hash the journal names
#ifndef _WIN32
        struct stat preciousBefore
        {
        };
#endif
        switch (c.after) {
        case Nothing:
            break;
        case ArchiveReplaced:
            testdata::writeFile(dir / "new.lpk", c.archiveAfter);
            fs::rename(dir / "new.lpk", archive);
            break;
        case ArchiveRewritten:
            testdata::writeFile(archive, c.archiveAfter);
            break;
#ifndef _WIN32
        case CopyIsALink:
            testdata::writeFile(outside, precious);
            fs::remove(pending);
            fs::create_symlink(outside, pending);
            ::chmod(outside.c_str(), 0600);
            ASSERT_EQ(::stat(outside.c_str(), &preciousBefore), 0);
            break;
        case CopyHasTwoNames:
            testdata::writeFile(dir / "precious", precious);
            fs::remove(pending);
            fs::create_hard_link(dir / "precious", pending);
            ::chmod((dir / "precious").c_str(), 0600);
            ASSERT_EQ(::stat((dir / "precious").c_str(), &preciousBefore), 0);
            break;
#else
        default:
            break;
#endif
        }

        const qdt::RecoveryReport report = qdt::recoverKilledRun(archive, {}, {});
        EXPECT_EQ(report.outcome, c.outcome) << report.message;
        EXPECT_NE(report.message.find(c.says), std::string::npos) << report.message;
        EXPECT_EQ(testdata::readFile(archive), c.archiveAfter);
        const bool settled = c.outcome == Outcome::Completed || c.outcome == Outcome::Undone ||
                             c.outcome == Outcome::LeftAlone;
        EXPECT_EQ(fs::exists(dir / "data.lpk.patching"), !settled);
        if (c.outcome == Outcome::LeftAlone) {
            // Set aside, not lost, and never acted on again.
            bool asideKept = false;
            for (const auto& e : fs::directory_iterator(dir.path()))
                asideKept = asideKept || e.path().filename().string().rfind(
                                             "data.lpk.patching.set-aside-", 0) == 0;
            EXPECT_TRUE(asideKept);
            EXPECT_EQ(qdt::recoverKilledRun(archive, {}, {}).outcome, Outcome::Nothing);
        }
        // The patched copy goes with a settled journal and stays for a later try with an
        // unsettled one; without a journal of ours it is a leftover like any other.
        if (c.after == Nothing) {
            EXPECT_EQ(fs::exists(pending), c.pending && c.outcome == Outcome::Failed);
        }
        if (c.backup) {
            EXPECT_EQ(testdata::readFile(dir / "backup.lpk"), *c.backup);
        }
#ifndef _WIN32
        if (c.after == CopyIsALink || c.after == CopyHasTwoNames) {
            // Nothing was given away, moved or written through the link.
            const fs::path target = c.after == CopyIsALink ? outside : dir / "precious";
            EXPECT_EQ(testdata::readFile(target), precious);
            struct stat st
            {
            };
            ASSERT_EQ(::stat(target.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode, preciousBefore.st_mode);
            EXPECT_EQ(st.st_ino, preciousBefore.st_ino);
            EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(archive)));
        }
#endif

        // An unsettled journal does not stop a later apply, whose own source check decides; a
        // successful one voids the journal.
        if (c.outcome == Outcome::Failed && c.after == Nothing) {
            testdata::writeFile(archive, source);
            ASSERT_TRUE(applyFile(archive, patch).ok());
            EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"backup.lpk", "data.lpk"}));
        }
    }
}

#ifdef _WIN32
// Another program takes hold of the archive while the pass runs (the launcher opening it for
// reading, without sharing writing or deleting), so that at the end it can be neither replaced
// nor written. The run is refused, and it has changed nothing: the reverse patch
// and the backup of the run before are back in their places, and no second name of the archive
// is left as the backup.
TEST(PatchEngine, ARefusalAtTheLastStepPutsTheKeptFilesBack)
{
    TempDir dir(u8"Игры");
    const Bytes source = testdata::makeArchive(24u << 20, 71);
    const Bytes patch =
        testdata::makePatch(source, testdata::translationEdits(source.size(), 40, 71));
    const fs::path archive = dir / "data.lpk";
    testdata::writeFile(archive, source);
    const Bytes oldReverse = bytesOf("the reverse patch of the run before");
    const Bytes oldBackup = bytesOf("the backup of the run before");
    testdata::writeFile(dir / "patch_KR.data", oldReverse);
    testdata::writeFile(dir / "backup.lpk", oldBackup);

    bool taken = false;
    HANDLE held = INVALID_HANDLE_VALUE;
    const auto takeHold = [&] {
        held = CreateFileW(archive.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        return held != INVALID_HANDLE_VALUE;
    };
    const auto letGo = [&] { CloseHandle(held); };
    qdt::ApplyRequest r;
    r.archive = archive;
    r.patch = patch.data();
    r.patchSize = patch.size();
    r.backup = dir / "backup.lpk";
    r.reversePatch = dir / "patch_KR.data";
    r.progress = [&](std::uint64_t done, std::uint64_t) {
        if (!taken && done > 0)
            taken = takeHold();
    };
    const qdt::Status status = qdt::applyPatchToArchive(r);
    if (taken)
        letGo();
    ASSERT_TRUE(taken);
    EXPECT_FALSE(status.ok());
    EXPECT_NE(status.kind, qdt::ErrorKind::LeftDamaged) << status.detail;
    EXPECT_EQ(testdata::readFile(archive), source);
    EXPECT_EQ(testdata::readFile(dir / "patch_KR.data"), oldReverse);
    EXPECT_EQ(testdata::readFile(dir / "backup.lpk"), oldBackup);
    // A second name of the held archive can't be removed until it is let go; the next run
    // clears it away.
    std::set<std::string> names = namesIn(dir.path());
    for (auto it = names.begin(); it != names.end();)
        it = it->rfind("backup.lpk.tmp-", 0) == 0 ? names.erase(it) : std::next(it);
    EXPECT_EQ(names, (std::set<std::string>{"backup.lpk", "data.lpk", "patch_KR.data"}));
    // Let go, the same run goes through.
    EXPECT_TRUE(applyFile(archive, patch, dir / "backup.lpk", dir / "patch_KR.data").ok());
    EXPECT_EQ(testdata::readFile(dir / "backup.lpk"), source);
    EXPECT_EQ(namesIn(dir.path()),
              (std::set<std::string>{"backup.lpk", "data.lpk", "patch_KR.data"}));
}
#endif

#ifdef _WIN32
// A program (the game, a virus scanner) that holds the archive open without letting others write:
// refused before any work, with a message that says so rather than "access denied".
TEST(PatchEngineWindows, ArchiveHeldWithoutWriteSharingIsInUse)
{
    TempDir dir(u8"Игры");
    const Bytes source = bytesOf("ABCDEFGHIJ");
    testdata::writeFile(dir / "data.lpk", source);
    const Bytes patch = testdata::makePatch(source, exampleEdits());
    HANDLE held = CreateFileW((dir / "data.lpk").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const auto status = applyFile(dir / "data.lpk", patch, dir / "backup", dir / "rev");
    const auto report = qdt::recoverKilledRun(dir / "data.lpk", dir / "backup", dir / "rev");
    CloseHandle(held);
    EXPECT_EQ(status.kind, qdt::ErrorKind::InUse) << status.detail;
    EXPECT_NE(status.detail.find("Another program is using"), std::string::npos) << status.detail;
    EXPECT_NE(status.detail.find("Nothing was changed"), std::string::npos) << status.detail;
    EXPECT_EQ(report.outcome, qdt::RecoveryReport::Outcome::Nothing);
    EXPECT_EQ(testdata::readFile(dir / "data.lpk"), source);
    EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"data.lpk"});
    ASSERT_TRUE(applyFile(dir / "data.lpk", patch).ok());
    EXPECT_EQ(testdata::readFile(dir / "data.lpk"), bytesOf("ABxFGwxyzIJ"));
}

// A program (the launcher) that shares writing but not deleting: the archive can't be replaced by
// a rename, so the verified result is written into it. The backup, a second name of the archive
// until then, becomes a copy of its own first; the way back works while the archive is held.
TEST(PatchEngineWindows, ArchiveHeldWithoutDeleteSharingIsWrittenInPlace)
{
    TempDir dir(u8"Игры");
    const Bytes source = testdata::makeArchive(3u << 20, 12);
    const Bytes patch =
        testdata::makePatch(source, testdata::translationEdits(source.size(), 50, 12));
    const Bytes result = stepbystep::apply(source, patch).content;
    testdata::writeFile(dir / "data.lpk", source);
    HANDLE held =
        CreateFileW((dir / "data.lpk").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const auto applied = applyFile(dir / "data.lpk", patch, dir / "backup", dir / "rev");
    EXPECT_TRUE(applied.ok()) << applied.detail;
    EXPECT_EQ(testdata::readFile(dir / "data.lpk"), result);
    EXPECT_EQ(testdata::readFile(dir / "backup"), source);
    EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"backup", "data.lpk", "rev"}));

    const auto restored = applyFile(dir / "data.lpk", testdata::readFile(dir / "rev"));
    EXPECT_TRUE(restored.ok()) << restored.detail;
    CloseHandle(held);
    EXPECT_EQ(testdata::readFile(dir / "data.lpk"), source);
    EXPECT_EQ(testdata::readFile(dir / "backup"), source);
    EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"backup", "data.lpk", "rev"}));
}

// What a player or the game's installer may have set on the archive, read back as the tests see
// it: the kept attributes and the creation time.
struct WindowsAttributes
{
    DWORD attributes = 0;
    ULONGLONG created = 0;
    // Wine keeps no creation time of its own (it shows the time of the last change instead), so
    // the creation time counts only where the system kept the one the test set.
    bool operator==(const WindowsAttributes& o) const
    {
        return attributes == o.attributes &&
               (created == o.created || (created != kOldCreation && o.created != kOldCreation));
    }
    static constexpr ULONGLONG kOldCreation = 131907456000000000ULL; // 2019-01-01
};

std::ostream& operator<<(std::ostream& out, const WindowsAttributes& a)
{
    return out << "attributes 0x" << std::hex << a.attributes << std::dec << ", created "
               << a.created;
}

WindowsAttributes attributesOf(const fs::path& file)
{
    constexpr DWORD kShown = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                             FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &data))
        return {};
    return {data.dwFileAttributes & kShown,
            (static_cast<ULONGLONG>(data.ftCreationTime.dwHighDateTime) << 32) |
                data.ftCreationTime.dwLowDateTime};
}

// Gives the file the attributes and a creation time of years ago, as an installer would have left
// it.
WindowsAttributes markFile(const fs::path& file, DWORD attributes)
{
    HANDLE h = CreateFileW(file.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    FILETIME created{};
    const ULONGLONG stamp = WindowsAttributes::kOldCreation;
    created.dwLowDateTime = static_cast<DWORD>(stamp);
    created.dwHighDateTime = static_cast<DWORD>(stamp >> 32);
    EXPECT_TRUE(SetFileTime(h, &created, nullptr, nullptr));
    CloseHandle(h);
    EXPECT_TRUE(SetFileAttributesW(file.c_str(), attributes));
    return attributesOf(file);
}

// Lets the temporary folder be removed.
void clearAttributes(const fs::path& dir)
{
    for (const auto& e : fs::directory_iterator(dir))
        SetFileAttributesW(e.path().c_str(), FILE_ATTRIBUTE_NORMAL);
}

// A read-only archive is patched and restored, whether it is replaced or written in place (a
// launcher holding it without delete sharing), and keeps its attributes and creation time; a
// refused run leaves it read-only too.
TEST(PatchEngineWindows, ArchiveKeepsItsAttributesWhenPatchedAndRestored)
{
    struct Case
    {
        const char* name;
        DWORD attributes;
        bool held;
    };
    const Case cases[] = {
        {"read-only", FILE_ATTRIBUTE_READONLY, false},
        {"read-only, hidden, archive",
         FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE, false},
        {"hidden", FILE_ATTRIBUTE_HIDDEN, false},
        {"read-only, held by the launcher", FILE_ATTRIBUTE_READONLY, true},
        {"read-only, hidden, held by the launcher",
         FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE, true},
    };
    const Bytes source = testdata::makeArchive(1u << 20, 31);
    const Bytes patch =
        testdata::makePatch(source, testdata::translationEdits(source.size(), 20, 31));
    const Bytes result = stepbystep::apply(source, patch).content;
    const Bytes otherSource = testdata::makeArchive(1u << 20, 32);
    const Bytes wrongPatch =
        testdata::makePatch(otherSource, testdata::translationEdits(otherSource.size(), 5, 32));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir(u8"Игры");
        const fs::path archive = dir / "data.lpk";
        testdata::writeFile(archive, source);
        const WindowsAttributes marked = markFile(archive, c.attributes);
        // Wine shows every file as to be archived; the bits asked for must be there.
        ASSERT_EQ(marked.attributes & c.attributes, c.attributes);
        HANDLE held = INVALID_HANDLE_VALUE;
        if (c.held) {
            held = CreateFileW(archive.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            ASSERT_NE(held, INVALID_HANDLE_VALUE);
        }

        const auto refused = applyFile(archive, wrongPatch, dir / "backup", dir / "rev");
        EXPECT_EQ(refused.kind, qdt::ErrorKind::SourceMismatch) << refused.detail;
        EXPECT_EQ(attributesOf(archive), marked);
        EXPECT_EQ(testdata::readFile(archive), source);

        const auto applied = applyFile(archive, patch, dir / "backup", dir / "rev");
        EXPECT_TRUE(applied.ok()) << applied.detail;
        EXPECT_EQ(testdata::readFile(archive), result);
        EXPECT_EQ(attributesOf(archive), marked);

        const auto restored = applyFile(archive, testdata::readFile(dir / "rev"));
        EXPECT_TRUE(restored.ok()) << restored.detail;
        EXPECT_EQ(testdata::readFile(archive), source);
        EXPECT_EQ(attributesOf(archive), marked);
        if (held != INVALID_HANDLE_VALUE)
            CloseHandle(held);
        EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"backup", "data.lpk", "rev"}));
        clearAttributes(dir.path());
    }
}

// A game installed 300 characters deep, past the length Windows takes without the extended-length
// form: patched and restored, by a rename and by a write in place (whose journal and patched copy
// lie as deep), read-only kept. Wine does not enforce the limit; here the file layer's long forms
// of the paths are what reaches the system.
TEST(PatchEngineWindows, GameFolderOfThreeHundredCharacters)
{
    TempDir dir(u8"Игры");
    fs::path game = dir.path();
    while (game.native().size() < 300)
        game /= u8"Quen Dara Online — Коллекционное издание";
    ASSERT_GE(game.native().size(), 300u);
    fs::create_directories(game / "ZNGame");
    const fs::path archive = game / "bin" / "x64" / ".." / ".." / "ZNGame" / "data.lpk";
    fs::create_directories(game / "bin" / "x64");
    const Bytes source = testdata::makeArchive(1u << 20, 41);
    const Bytes patch =
        testdata::makePatch(source, testdata::translationEdits(source.size(), 20, 41));
    const Bytes result = stepbystep::apply(source, patch).content;
    for (const bool held : {false, true}) {
        SCOPED_TRACE(held ? "held by the launcher" : "replaced");
        testdata::writeFile(game / "ZNGame" / "data.lpk", source);
        // What a killed run left beside the archive is cleared away from this folder too.
        testdata::writeFile(game / "ZNGame" / "data.lpk.tmp-999-1-0", bytesOf("left over"));
        const WindowsAttributes marked = markFile(archive, FILE_ATTRIBUTE_READONLY);
        HANDLE holder = INVALID_HANDLE_VALUE;
        if (held) {
            holder = CreateFileW(qdt::systemPath(archive).c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
            ASSERT_NE(holder, INVALID_HANDLE_VALUE);
        }
        const auto applied = applyFile(archive, patch, game / "backup", game / "patch_KR.data");
        EXPECT_TRUE(applied.ok()) << applied.detail;
        EXPECT_EQ(testdata::readFile(archive), result);
        EXPECT_EQ(testdata::readFile(game / "backup"), source);
        const auto restored = applyFile(archive, testdata::readFile(game / "patch_KR.data"));
        EXPECT_TRUE(restored.ok()) << restored.detail;
        if (holder != INVALID_HANDLE_VALUE)
            CloseHandle(holder);
        EXPECT_EQ(testdata::readFile(archive), source);
        EXPECT_EQ(attributesOf(archive), marked);
        EXPECT_EQ(namesIn(game / "ZNGame"), std::set<std::string>{"data.lpk"});
        clearAttributes(game / "ZNGame");
    }
}
#else
// Root ignores permission bits, but not the immutable attribute: that is how a file nobody may
// change is made here.
TEST(PatchEngineLinux, ArchiveThatCannotBeOpenedForWritingIsAccessDenied)
{
    TempDir dir;
    const Bytes source = bytesOf("ABCDEFGHIJ");
    testdata::writeFile(dir / "data.lpk", source);
    const Bytes patch = testdata::makePatch(source, exampleEdits());
    fs::permissions(dir / "data.lpk", fs::perms::owner_read | fs::perms::group_read);
    bool immutable = false;
    if (::geteuid() == 0) {
        const std::string cmd = "chattr +i '" + (dir / "data.lpk").string() + "' 2>/dev/null";
        immutable = std::system(cmd.c_str()) == 0;
        if (!immutable)
            GTEST_SKIP() << "running as root on a file system without the immutable attribute";
    }
    const auto status = applyFile(dir / "data.lpk", patch, dir / "backup", dir / "rev");
    if (immutable)
        std::system(("chattr -i '" + (dir / "data.lpk").string() + "'").c_str());
    EXPECT_EQ(status.kind, qdt::ErrorKind::AccessDenied) << status.detail;
    EXPECT_EQ(testdata::readFile(dir / "data.lpk"), source);
    EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"data.lpk"});
}

// "File too large" while the patched archive is written: the archive stays as it was and no
// temporary file is left behind.
// An output that is a file descriptor, or (with -1) a list of the bytes written to it.
class DescriptorOutput : public qdt::ByteOutput
{
public:
    explicit DescriptorOutput(int fd) : fd_(fd) {}
    bool write(const unsigned char* data, std::size_t size) override
    {
        if (fd_ < 0) {
            kept.insert(kept.end(), data, data + size);
            return true;
        }
        return ::write(fd_, data, size) == static_cast<ssize_t>(size);
    }
    int settledDescriptor() override { return fd_; }
    void addedDirectly(std::uint64_t size) override { added += size; }
    Bytes kept;
    std::uint64_t added = 0;

private:
    int fd_;
};

// The unchanged spans between records: copied by the system where the output's file takes such a
// copy, written by us where it does not. Either way the output gets the same bytes in order, the
// source hash sees every byte once and the caller is shown exactly the bytes moved.
TEST(HashingFileInput, MovesSpansByTheSystemOrByWriting)
{
    struct Case
    {
        const char* name;
        int flags; // how the output's file is opened; 0: no file
        bool bySystem;
    };
    const Case cases[] = {
        {"a file", O_WRONLY | O_CREAT | O_TRUNC, true},
        // The system copies no range into a file open for appending (EBADF).
        {"a file open for appending", O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, false},
        {"an output without a file", 0, false},
    };
    TempDir dir;
    const Bytes source = testdata::makeArchive((3u << 20) + 12345, 5);
    testdata::writeFile(dir / "source", source);
    const std::size_t firstSpan = (2u << 20) + 7;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int fd = c.flags ? ::open((dir / "out").c_str(), c.flags, 0600) : -1;
        ASSERT_TRUE(c.flags == 0 || fd >= 0);
        DescriptorOutput output(fd);
        qdt::FilePtr file(std::fopen((dir / "source").c_str(), "rb"));
        ASSERT_TRUE(file);
        qdt::HashingFileInput input(file.get());
        Bytes seen, oldBytes(100);
        auto see = [&](const unsigned char* data, std::size_t size) {
            seen.insert(seen.end(), data, data + size);
        };
        // A record's old bytes, a span, another record, the rest.
        ASSERT_TRUE(input.read(oldBytes.data(), 100));
        EXPECT_EQ(input.moveTo(output, firstSpan, see), qdt::ByteInput::Moved::Done);
        ASSERT_TRUE(input.read(oldBytes.data(), 10));
        EXPECT_EQ(input.moveTo(output, source.size() - firstSpan - 110, see),
                  qdt::ByteInput::Moved::Done);
        EXPECT_TRUE(input.drain());
        EXPECT_EQ(input.bytesRead(), source.size());
        EXPECT_EQ(input.digest(), qdt::xxh64(source.data(), source.size()));

        Bytes moved(source.begin() + 100, source.begin() + 100 + firstSpan);
        moved.insert(moved.end(), source.begin() + 110 + firstSpan, source.end());
        EXPECT_EQ(seen, moved);
        if (fd >= 0) {
            ::close(fd);
            EXPECT_EQ(testdata::readFile(dir / "out"), moved);
        } else {
            EXPECT_EQ(output.kept, moved);
        }
        EXPECT_EQ(output.added, c.bySystem ? moved.size() : 0u);
        EXPECT_EQ(input.bytesCopiedBySystem(), output.added);
    }
}

// A span that runs past the end of the archive fails as a read, after the bytes that were there.
TEST(HashingFileInput, SpanPastTheEndIsAReadFailure)
{
    TempDir dir;
    const Bytes source = testdata::makeArchive(5000, 6);
    testdata::writeFile(dir / "source", source);
    qdt::FilePtr file(std::fopen((dir / "source").c_str(), "rb"));
    ASSERT_TRUE(file);
    qdt::HashingFileInput input(file.get());
    DescriptorOutput output(-1);
    EXPECT_EQ(input.moveTo(output, 6000, [](const unsigned char*, std::size_t) {}),
              qdt::ByteInput::Moved::ReadFailed);
    EXPECT_EQ(input.bytesRead(), source.size());
    EXPECT_EQ(input.digest(), qdt::xxh64(source.data(), source.size()));
}

TEST(PatchEngineLinux, WriteFailureLeavesTheArchive)
{
    TempDir dir;
    const Bytes source = testdata::makeArchive(3u << 20, 8);
    testdata::writeFile(dir / "data.lpk", source);
    const Bytes patch =
        testdata::makePatch(source, testdata::translationEdits(source.size(), 100, 8));

    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = old;
    limited.rlim_cur = 1u << 20;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    const auto status = applyFile(dir / "data.lpk", patch, {}, dir / "rev");
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previous);

    EXPECT_EQ(status.kind, qdt::ErrorKind::WriteFailed) << status.detail;
    EXPECT_EQ(testdata::readFile(dir / "data.lpk"), source);
    EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"data.lpk"});
}
#endif

} // namespace
