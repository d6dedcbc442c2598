// quen-dara-patch as a real process: its commands, exit codes and messages, and an archive that
// survives the tool being killed at any moment.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <set>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "core/Xxh64.h"
#include "patching/PatchFormat.h"
#include "tests/patching/StepByStep.h"
#include "tests/patching/TempDir.h"
#include "tests/support/TestData.h"

namespace fs = std::filesystem;
using testdata::Bytes;

namespace {

// Starts the tool with its output in files; returns the child's id.
pid_t start(const std::vector<std::string>& args, const fs::path& out, const fs::path& err,
            const std::string& program = QDT_TOOL)
{
    std::vector<char*> argv;
    std::string tool = program;
    argv.push_back(tool.data());
    std::vector<std::string> copies = args;
    for (auto& a : copies)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(o, 1);
        ::dup2(e, 2);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

struct ToolRun
{
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string text(const fs::path& p)
{
    const Bytes b = testdata::readFile(p);
    return std::string(b.begin(), b.end());
}

// Runs the tool to its end, or for at most 60 s: a tool that hangs is killed and reported as -1.
ToolRun run(const TempDir& dir, const std::vector<std::string>& args,
            const std::string& program = QDT_TOOL)
{
    const pid_t pid = start(args, dir.root() / "stdout", dir.root() / "stderr", program);
    int status = 0;
    bool ended = false;
    for (int i = 0; i < 6000 && !ended; ++i) {
        ended = ::waitpid(pid, &status, WNOHANG) == pid;
        if (!ended)
            ::usleep(10000);
    }
    if (!ended) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    ToolRun r;
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = text(dir.root() / "stdout");
    r.err = text(dir.root() / "stderr");
    return r;
}

std::string s(const fs::path& p)
{
    return p.string();
}

// Whether this machine lets a test make a mount namespace of its own (a user namespace mapped to
// root), for file systems and mount points that only the test sees.
bool privateMountsWork()
{
    static const bool works = std::system("unshare -rm true >/dev/null 2>&1") == 0;
    return works;
}

// The tool run in a mount namespace of its own, after `setup` (shell commands) has made its
// mounts there. In `setup`, $1 is the tool's command and $2 its next argument (the archive).
std::vector<std::string> inPrivateMounts(const std::string& setup,
                                         const std::vector<std::string>& toolArgs)
{
    std::vector<std::string> args = {"-rm", "sh", "-c", setup + " && exec \"$0\" \"$@\"", QDT_TOOL};
    args.insert(args.end(), toolArgs.begin(), toolArgs.end());
    return args;
}

class Tool : public ::testing::Test
{
protected:
    void SetUp() override
    {
        fs::create_directories(dir.path() / "game");
        testdata::writeFile(archive, source);
        testdata::writeFile(patchPath, patch);
    }
    TempDir dir{"work"};
    const fs::path archive = dir.path() / "game" / "data.lpk";
    const fs::path patchPath = dir.path() / "patch_EN.data";
    const Bytes source = testdata::makeArchive(200000, 77);
    const Bytes patch =
        testdata::makePatch(source, testdata::translationEdits(source.size(), 100, 77), 0x0BADF00D);
};

TEST_F(Tool, ApplyWritesArchiveReversePatchAndBackup)
{
    EXPECT_EQ(run(dir, {"status", s(archive), s(patchPath)}).out, "original\n");
    const ToolRun r = run(dir, {"apply", s(archive), s(patchPath), "--reverse",
                                s(dir / "patch_KR.data"), "--backup", s(dir / "backup.lpk")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto expected = stepbystep::apply(source, patch);
    EXPECT_EQ(testdata::readFile(archive), expected.content);
    EXPECT_EQ(testdata::readFile(dir / "patch_KR.data"), expected.reverse);
    EXPECT_EQ(testdata::readFile(dir / "backup.lpk"), source);
    EXPECT_EQ(run(dir, {"status", s(archive), s(patchPath)}).out, "patched\n");

    ASSERT_EQ(run(dir, {"apply", s(archive), s(dir / "patch_KR.data")}).exitCode, 0);
    EXPECT_EQ(testdata::readFile(archive), source);
}

// The backup or the reverse patch named as another of the run's files, spelled differently or
// through a linked folder: refused before anything is written, every file as it was.
TEST_F(Tool, AliasedFilesAreRefusedAndNothingChanges)
{
    testdata::writeFile(dir / "old-backup.lpk", Bytes{'o', 'l', 'd'});
    fs::create_directory_symlink(dir.path() / "game", dir.path() / "game-link");
    const std::string dotArchive = s(dir.path() / "game" / "." / "data.lpk");
    const std::string viaLink = s(dir.path() / "game-link" / "data.lpk");
    const std::string upAndBack = s(dir.path() / "game" / ".." / "patch_EN.data");
    const std::string backup = s(dir / "old-backup.lpk");
    struct Case
    {
        const char* what;
        std::vector<std::string> options;
        const char* role;
    };
    const Case cases[] = {
        {"reverse = archive", {"--reverse", dotArchive}, "reverse patch"},
        {"reverse = archive through a linked folder", {"--reverse", viaLink}, "reverse patch"},
        {"reverse = backup",
         {"--backup", backup, "--reverse", s(dir.path() / "." / "old-backup.lpk")},
         "reverse patch"},
        {"reverse = patch", {"--reverse", upAndBack}, "reverse patch"},
        {"backup = archive", {"--backup", viaLink}, "backup"},
        {"backup = patch", {"--backup", upAndBack}, "backup"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"apply", s(archive), s(patchPath)};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const ToolRun r = run(dir, args);
        EXPECT_EQ(r.exitCode, 1) << c.what;
        EXPECT_NE(r.err.find(c.role), std::string::npos) << c.what << ": " << r.err;
        EXPECT_EQ(testdata::readFile(archive), source) << c.what;
        EXPECT_EQ(testdata::readFile(patchPath), patch) << c.what;
        EXPECT_EQ(text(dir / "old-backup.lpk"), "old") << c.what;
        EXPECT_FALSE(fs::exists(dir / "patch_KR.data")) << c.what;
    }
    // A backup that is a second name of the archive is a different entry: allowed, and the
    // archive is replaced while the backup keeps the original.
    fs::create_hard_link(archive, dir / "linked-backup.lpk");
    const ToolRun linked =
        run(dir, {"apply", s(archive), s(patchPath), "--backup", s(dir / "linked-backup.lpk")});
    ASSERT_EQ(linked.exitCode, 0) << linked.err;
    EXPECT_EQ(testdata::readFile(dir / "linked-backup.lpk"), source);
    EXPECT_EQ(testdata::readFile(archive), stepbystep::apply(source, patch).content);
}

// What is not a regular file, or a patch over the size we ever download, is refused at once:
// nothing is read into memory and nothing waits for a writer that never comes.
TEST_F(Tool, NonRegularAndOversizedInputsAreRefusedAtOnce)
{
    ASSERT_EQ(::mkfifo(s(dir / "fifo").c_str(), 0600), 0);
    fs::create_directory(dir / "folder");
    {
        // Sparse: one byte over the limit costs no disk.
        std::FILE* f = std::fopen(s(dir / "huge.data").c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fclose(f);
        fs::resize_file(dir / "huge.data", qdt::kMaxPatchSize + 1);
    }
    struct Case
    {
        const char* what;
        std::string archive;
        std::string patchFile;
        const char* says;
    };
    const Case cases[] = {
        {"FIFO as the patch", s(archive), s(dir / "fifo"), "not a regular file"},
        {"FIFO as the archive", s(dir / "fifo"), s(patchPath), "not a regular file"},
        {"endless device as the patch", s(archive), "/dev/zero", "not a regular file"},
        {"folder as the archive", s(dir / "folder"), s(patchPath), "not a regular file"},
        {"patch over 1 GiB", s(archive), s(dir / "huge.data"), "larger than"},
    };
    for (const Case& c : cases) {
        for (const char* command : {"apply", "status"}) {
            const ToolRun r = run(dir, {command, c.archive, c.patchFile});
            EXPECT_EQ(r.exitCode, 1) << c.what << " (" << command << "): " << r.err;
            EXPECT_NE(r.err.find(c.says), std::string::npos)
                << c.what << " (" << command << "): " << r.err;
        }
        EXPECT_EQ(testdata::readFile(archive), source) << c.what;
    }
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.path()))
        names.insert(entry.path().filename().string());
    EXPECT_EQ(names,
              (std::set<std::string>{"fifo", "folder", "game", "huge.data", "patch_EN.data"}));
}

// status clears a killed run's archive-sized temporary, and nothing else, as apply does.
TEST_F(Tool, StatusClearsAKilledRunsTemporary)
{
    testdata::writeFile(dir.path() / "game" / "data.lpk.tmp-77-1-0", Bytes(1000, 'x'));
    testdata::writeFile(dir.path() / "game" / "data.lpk.tmp-notes", Bytes(10, 'y'));
    const ToolRun r = run(dir, {"status", s(archive), s(patchPath)});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "original\n");
    EXPECT_FALSE(fs::exists(dir.path() / "game" / "data.lpk.tmp-77-1-0"));
    EXPECT_TRUE(fs::exists(dir.path() / "game" / "data.lpk.tmp-notes"));
}

TEST_F(Tool, RefusalsExitWithOneLineNamingTheProblem)
{
    testdata::writeFile(dir / "junk.data", {'<', 'h', 't', 'm', 'l', '>'});
    testdata::writeFile(dir / "other.lpk", testdata::makeArchive(1000, 1));
    struct Case
    {
        std::vector<std::string> args;
        const char* mentions;
    };
    const Case cases[] = {
        {{"apply", s(archive), s(dir / "junk.data")}, "junk.data"},
        {{"apply", s(dir / "other.lpk"), s(patchPath)}, "different"},
        {{"apply", s(dir / "missing.lpk"), s(patchPath)}, "missing.lpk"},
        {{"apply", s(archive), s(dir / "missing.data")}, "missing.data"},
        {{"status", s(dir / "missing.lpk"), s(patchPath)}, "missing.lpk"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1] + " " + c.args[2]);
        const ToolRun r = run(dir, c.args);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.err.find(c.mentions), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    EXPECT_EQ(testdata::readFile(archive), source);
    EXPECT_EQ(run(dir, {"status", s(dir / "other.lpk"), s(patchPath)}).out, "unknown\n");
}

TEST_F(Tool, InfoAndHelp)
{
    const Bytes example =
        testdata::buildPatch(0x04030201, 0xAB, 0xCD, {{2, 3, {'x'}}, {7, 1, {'w', 'x', 'y', 'z'}}});
    testdata::writeFile(dir / "example.data", example);
    const ToolRun r = run(dir, {"info", s(dir / "example.data")});
    EXPECT_EQ(r.exitCode, 0);
    for (const char* line : {"header word: 01 02 03 04\n", "source hash: 00000000000000ab\n",
                             "result hash: 00000000000000cd\n", "records: 2\n",
                             "bytes replaced: 4\n", "bytes inserted: 5\n", "well-formed: yes\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;

    Bytes cut = example;
    cut.pop_back();
    testdata::writeFile(dir / "cut.data", cut);
    const ToolRun bad = run(dir, {"info", s(dir / "cut.data")});
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_NE(bad.out.find("well-formed: no"), std::string::npos) << bad.out;

    const ToolRun help = run(dir, {"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("quen-dara-patch apply ARCHIVE PATCH"), std::string::npos);
    EXPECT_NE(run(dir, {"frobnicate"}).exitCode, 0);
}

// Kills the tool at random moments while it applies a large patch. Whatever the moment, the
// archive is byte for byte either the source or the result.
TEST(ToolCrash, ArchiveIsAlwaysSourceOrResult)
{
    TempDir dir("work");
    const fs::path archive = dir / "data.lpk";
    const fs::path patchPath = dir / "patch.data";
    const std::uint64_t size = 48u << 20;
    testdata::writeArchive(archive, size, 5);
    const Bytes patch =
        testdata::makePatchForFile(archive, testdata::translationEdits(size, 5000, 5));
    testdata::writeFile(patchPath, patch);
    const auto sourceHash = qdt::hashFile(archive).value;
    const auto resultHash = stepbystep::le64(patch, 16);

    // How long one whole run takes here, to spread the kills over it.
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(run(dir, {"apply", s(archive), s(patchPath), "--reverse", s(dir / "rev")}).exitCode,
              0);
    const auto fullRun =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    ASSERT_EQ(qdt::hashFile(archive).value, static_cast<std::uint64_t>(resultHash));
    ASSERT_EQ(run(dir, {"apply", s(archive), s(dir / "rev")}).exitCode, 0);

    std::mt19937_64 rng(12345);
    int sawSource = 0, sawResult = 0;
    for (int round = 0; round < 16; ++round) {
        const bool patched = qdt::hashFile(archive).value != sourceHash;
        const fs::path& which = patched ? dir / "rev" : patchPath;
        std::vector<std::string> args = {"apply", s(archive), s(which)};
        if (!patched) {
            args.push_back("--reverse");
            args.push_back(s(dir / "rev"));
        }
        const pid_t pid = start(args, dir.root() / "stdout", dir.root() / "stderr");
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % (fullRun + 1)));
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);

        const auto hash = qdt::hashFile(archive);
        ASSERT_TRUE(hash.ok());
        const bool isSource = hash.value == sourceHash;
        const bool isResult = hash.value == static_cast<std::uint64_t>(resultHash);
        ASSERT_TRUE(isSource || isResult) << "round " << round;
        (isSource ? sawSource : sawResult)++;
        // The reverse patch beside a translated archive is always the one that undoes it.
        if (isResult) {
            ASSERT_EQ(qdt::hashFile(dir / "rev").ok(), true);
        }
    }
    std::printf("killed runs left the source %d times and the result %d times\n", sawSource,
                sawResult);

    // The next runs clear the temporaries killed runs left behind: each those of the files it
    // writes (a killed run may leave the reverse patch it was replacing kept aside).
    if (qdt::hashFile(archive).value != sourceHash) {
        ASSERT_EQ(run(dir, {"apply", s(archive), s(dir / "rev")}).exitCode, 0);
    }
    ASSERT_EQ(run(dir, {"apply", s(archive), s(patchPath), "--reverse", s(dir / "rev")}).exitCode,
              0);
    ASSERT_EQ(
        run(dir, {"apply", s(archive), s(dir / "rev"), "--reverse", s(dir / "rev2")}).exitCode, 0);
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir.path()))
        names.insert(e.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"data.lpk", "patch.data", "rev", "rev2"}));
}

// An archive that can't be replaced by a rename but may be written: the patched content is
// written into it. Here that is an archive that is a mount point of its own (rename says "busy");
// on Windows it is an archive that another program holds without sharing its deletion.
TEST_F(Tool, ArchiveThatCantBeReplacedIsWrittenInPlace)
{
    if (!privateMountsWork())
        GTEST_SKIP() << "no private mount namespaces here";
    const std::string bindOnItself = "mount --bind \"$2\" \"$2\"";
    const ToolRun r = run(dir,
                          inPrivateMounts(bindOnItself, {"apply", s(archive), s(patchPath),
                                                         "--reverse", s(dir / "patch_KR.data"),
                                                         "--backup", s(dir / "backup.lpk")}),
                          "unshare");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto expected = stepbystep::apply(source, patch);
    EXPECT_EQ(testdata::readFile(archive), expected.content);
    EXPECT_EQ(testdata::readFile(dir / "backup.lpk"), source);
    EXPECT_EQ(testdata::readFile(dir / "patch_KR.data"), expected.reverse);
    const ToolRun back =
        run(dir, inPrivateMounts(bindOnItself, {"apply", s(archive), s(dir / "patch_KR.data")}),
            "unshare");
    ASSERT_EQ(back.exitCode, 0) << back.err;
    EXPECT_EQ(testdata::readFile(archive), source);
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir.path() / "game"))
        names.insert(e.path().filename().string());
    EXPECT_EQ(names, std::set<std::string>{"data.lpk"});
}

// A disk without room for the patched copy: refused before anything is written, with what is
// needed and what is free, and nothing left behind.
TEST_F(Tool, TooLittleFreeSpaceIsRefusedBeforeAnyWork)
{
    if (!privateMountsWork())
        GTEST_SKIP() << "no private mount namespaces here";
    const fs::path small = dir.path() / "small";
    fs::create_directories(small);
    const Bytes big = testdata::makeArchive(6u << 20, 3);
    testdata::writeFile(dir / "big.lpk", big);
    testdata::writeFile(dir / "big.data",
                        testdata::makePatch(big, testdata::translationEdits(big.size(), 20, 3)));
    // The tool runs on a 12 MiB disk holding the 6 MiB archive; what it left is listed after it.
    const std::string script =
        "mount -t tmpfs -o size=12m tmpfs \"$0\" && cp \"$1\" \"$0/data.lpk\" && "
        "\"$2\" apply \"$0/data.lpk\" \"$3\" --reverse \"$0/rev\"; code=$?; ls -A \"$0\"; "
        "cmp -s \"$1\" \"$0/data.lpk\" && echo unchanged; exit $code";
    const ToolRun r = run(
        dir,
        {"-rm", "sh", "-c", script, s(small), s(dir / "big.lpk"), QDT_TOOL, s(dir / "big.data")},
        "unshare");
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.err.find("not enough free space"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("MB is free"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "data.lpk\nunchanged\n");
}

// Kills the tool at random moments while it writes into an archive it can't replace. The journal
// beside the archive lets the next run (here: status) finish or undo the write: afterwards the
// archive is the source or the result, and nothing of ours is left but the requested files.
TEST(ToolCrash, InPlaceWriteIsFinishedOrUndoneByTheNextRun)
{
    if (!privateMountsWork())
        GTEST_SKIP() << "no private mount namespaces here";
    TempDir dir("work");
    fs::create_directories(dir / "game");
    const fs::path archive = dir / "game" / "data.lpk";
    const fs::path patchPath = dir / "patch.data";
    const std::uint64_t size = 32u << 20;
    testdata::writeArchive(archive, size, 9);
    const Bytes patch =
        testdata::makePatch(testdata::readFile(archive), testdata::translationEdits(size, 3000, 9));
    testdata::writeFile(patchPath, patch);
    const auto sourceHash = qdt::hashFile(archive).value;
    const auto resultHash = static_cast<std::uint64_t>(stepbystep::le64(patch, 16));
    const std::string bindOnItself = "mount --bind \"$2\" \"$2\"";
    auto applyArgs = [&](bool patched) {
        std::vector<std::string> a = {"apply", s(archive), s(patched ? dir / "rev" : patchPath)};
        if (!patched) {
            for (const char* extra : {"--reverse", "--backup"})
                a.push_back(extra);
            a.insert(a.end() - 1, s(dir / "rev"));
            a.push_back(s(dir / "backup.lpk"));
        }
        return inPrivateMounts(bindOnItself, a);
    };

    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(run(dir, applyArgs(false), "unshare").exitCode, 0);
    const auto fullRun =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    ASSERT_EQ(qdt::hashFile(archive).value, resultHash);
    ASSERT_EQ(run(dir, applyArgs(true), "unshare").exitCode, 0);
    ASSERT_EQ(qdt::hashFile(archive).value, sourceHash);

    std::mt19937_64 rng(777);
    int mixed = 0, settledMessages = 0;
    for (int round = 0; round < 14; ++round) {
        const bool patched = qdt::hashFile(archive).value != sourceHash;
        const pid_t pid =
            start(applyArgs(patched), dir.root() / "stdout", dir.root() / "stderr", "unshare");
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % (fullRun + 1)));
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);

        const auto hash = qdt::hashFile(archive).value;
        if (hash != sourceHash && hash != resultHash)
            ++mixed;
        const ToolRun next = run(dir, {"status", s(archive), s(patchPath)});
        ASSERT_EQ(next.exitCode, 0) << next.err;
        if (!next.err.empty())
            ++settledMessages;
        const auto after = qdt::hashFile(archive).value;
        ASSERT_TRUE(after == sourceHash || after == resultHash) << "round " << round << next.err;
        EXPECT_EQ(next.out, after == sourceHash ? "original\n" : "patched\n");
        ASSERT_FALSE(fs::exists(dir / "game" / "data.lpk.patching")) << "round " << round;
        // A translated archive always has the reverse patch that undoes it, and the backup is
        // the original.
        if (after == resultHash) {
            ASSERT_EQ(qdt::hashFile(dir / "rev").ok(), true);
        }
        if (fs::exists(dir / "backup.lpk")) {
            ASSERT_EQ(qdt::hashFile(dir / "backup.lpk").value, sourceHash);
        }
        std::set<std::string> names;
        for (const auto& e : fs::directory_iterator(dir / "game"))
            names.insert(e.path().filename().string());
        ASSERT_EQ(names, std::set<std::string>{"data.lpk"}) << "round " << round;
    }
    std::printf("killed in-place runs left a half-written archive %d times; the next run said "
                "what it settled %d times\n",
                mixed, settledMessages);
}

} // namespace
