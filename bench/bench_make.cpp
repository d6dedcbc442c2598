// Measures quen-dara-patch make on generated translation-like pairs of archives and prints ratios
// measured in the same run:
//   size of the patch make writes      against   the patch built from the true list of edits
//   time of make                       against   xdelta3 -e -s on the same pair
//   peak memory of make                against   256 MiB
// and, on a pair where one block moved, what re-inserting the block costs.
// Usage: bench_make [--dir DIR] [--records N] [--moved MIB] [SIZE_MIB...]
//        (default sizes: 256 1024 2048; files in /dev/shm when it has room, else the temp folder)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/Xxh64.h"
#include "patching/PatchFormat.h"
#include "tests/support/TestData.h"

namespace fs = std::filesystem;

namespace {

struct Measured
{
    double seconds = 0;
    long peakKiB = 0;
    int exitCode = -1;
};

// Runs a program (no shell); wall time, peak resident memory (from /usr/bin/time: a child forked
// from this process would report this process's own high-water mark) and exit code.
Measured runProgram(const std::vector<std::string>& args)
{
    static const fs::path peakFile =
        fs::temp_directory_path() / ("bench_make-peak-" + std::to_string(::getpid()));
    std::vector<std::string> copies = {"/usr/bin/time", "-f", "%M", "-o", peakFile.string()};
    copies.insert(copies.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : copies)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const auto t0 = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (FILE* null = std::fopen("/dev/null", "w")) {
            ::dup2(fileno(null), 1);
            ::dup2(fileno(null), 2);
        }
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    Measured m;
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (FILE* f = std::fopen(peakFile.c_str(), "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, f))
            m.peakKiB = std::strtol(line, nullptr, 10);
        std::fclose(f);
    }
    m.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return m;
}

bool haveXdelta()
{
    return std::system("xdelta3 -V >/dev/null 2>&1") == 0;
}

void require(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "bench_make: %s failed\n", what);
        std::exit(1);
    }
}

void removeQuietly(const fs::path& p)
{
    std::error_code ec;
    fs::remove(p, ec);
}

std::uint64_t headerHash(const fs::path& patch, int at)
{
    const auto bytes = testdata::readFile(patch);
    return bytes.size() >= qdt::kPatchHeaderSize ? qdt::readLe64(bytes.data() + at) : 0;
}

void benchOneSize(const fs::path& dir, std::uint64_t mib, std::size_t records, bool xdelta)
{
    const std::uint64_t size = mib << 20;
    const fs::path original = dir / "original.lpk", translated = dir / "translated.lpk",
                   made = dir / "made.data", delta = dir / "pair.xdelta";
    std::printf("\n== %llu MiB archive, %zu texts changed\n", static_cast<unsigned long long>(mib),
                records);
    std::fflush(stdout);
    testdata::writeArchive(original, size, 2026);
    const auto edits = testdata::translationEdits(size, records, 2026);
    const auto truePatch = testdata::makePatchForFile(original, edits, 0, translated);

    const Measured make =
        runProgram({QDT_TOOL, "make", original.string(), translated.string(), "-o", made.string()});
    require(make.exitCode == 0, "make");
    require(headerHash(made, 8) == qdt::readLe64(truePatch.data() + 8) &&
                headerHash(made, 16) == qdt::readLe64(truePatch.data() + 16),
            "the made patch's hashes");
    const double madeSize = static_cast<double>(fs::file_size(made));
    std::printf("true patch:           %10.0f bytes\n", static_cast<double>(truePatch.size()));
    std::printf("make:                 %10.0f bytes   ratio %.4f (goal <= 1.05)\n", madeSize,
                madeSize / truePatch.size());
    std::printf("make time:            %10.2f s\n", make.seconds);
    std::printf("make peak memory:     %10.1f MiB (goal < 256)\n", make.peakKiB / 1024.0);
    if (xdelta) {
        const Measured xd = runProgram(
            {"xdelta3", "-e", "-f", "-s", original.string(), translated.string(), delta.string()});
        require(xd.exitCode == 0, "xdelta3 -e");
        std::printf("xdelta3 -e -s time:   %10.2f s   make / xdelta3: %.2f (goal < 1)\n",
                    xd.seconds, make.seconds / xd.seconds);
        std::printf("xdelta3 delta:        %10.0f bytes (compressed)   peak memory %.1f MiB\n",
                    static_cast<double>(fs::file_size(delta)), xd.peakKiB / 1024.0);
    } else {
        std::printf("xdelta3 -e -s:        skipped (xdelta3 is not installed)\n");
    }
    std::fflush(stdout);
    for (const auto& p : {original, translated, made, delta})
        removeQuietly(p);
}

// The format replaces and inserts but cannot copy: a block that moved is deleted where it was
// and its bytes are inserted where it went. Measured on the generated archive (whose 64 KiB
// blocks recur elsewhere, shifted, as repeated content in a real archive would) and on random
// bytes (nothing recurs).
void benchMovedBlock(const fs::path& dir, std::uint64_t mib, std::uint64_t blockMiB, bool random)
{
    const std::uint64_t size = mib << 20, block = blockMiB << 20;
    const fs::path original = dir / "original.lpk", moved = dir / "moved.lpk",
                   made = dir / "made.data";
    std::printf("\n== %llu MiB %s, a %llu MiB block moved from 10%% to 60%%\n",
                static_cast<unsigned long long>(mib),
                random ? "of random bytes" : "generated archive",
                static_cast<unsigned long long>(blockMiB));
    testdata::Bytes data;
    if (random) {
        data.resize(size);
        std::uint64_t s = 88172645463325252ULL;
        for (auto& b : data) {
            s ^= s << 13;
            s ^= s >> 7;
            s ^= s << 17;
            b = static_cast<unsigned char>(s >> 32);
        }
        testdata::writeFile(original, data);
    } else {
        testdata::writeArchive(original, size, 77);
        data = testdata::readFile(original);
    }
    {
        const std::size_t from = size / 10, to = size * 6 / 10;
        require(from + block <= to, "a block that fits between 10% and 60%");
        testdata::Bytes out;
        out.reserve(data.size());
        out.insert(out.end(), data.begin(), data.begin() + from);
        out.insert(out.end(), data.begin() + from + block, data.begin() + to);
        out.insert(out.end(), data.begin() + from, data.begin() + from + block);
        out.insert(out.end(), data.begin() + to, data.end());
        testdata::writeFile(moved, out);
    }
    const Measured make =
        runProgram({QDT_TOOL, "make", original.string(), moved.string(), "-o", made.string()});
    require(make.exitCode == 0, "make (moved block)");
    const double madeSize = static_cast<double>(fs::file_size(made));
    std::printf("make:                 %10.0f bytes = %.3f x the block, %.2f s, peak %.1f MiB\n",
                madeSize, madeSize / block, make.seconds, make.peakKiB / 1024.0);
    for (const auto& p : {original, moved, made})
        removeQuietly(p);
}

fs::path defaultDir(std::uint64_t largestMiB)
{
    struct statvfs s
    {
    };
    const std::uint64_t need = (largestMiB << 20) * 3;
    if (::statvfs("/dev/shm", &s) == 0 &&
        static_cast<std::uint64_t>(s.f_bavail) * s.f_frsize > need)
        return "/dev/shm/bench_make-" + std::to_string(::getpid());
    return fs::temp_directory_path() / ("bench_make-" + std::to_string(::getpid()));
}

} // namespace

int main(int argc, char** argv)
{
    fs::path dir;
    std::size_t records = 50000;
    std::uint64_t movedMiB = 4;
    std::vector<std::uint64_t> sizes;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--dir" && i + 1 < argc)
            dir = argv[++i];
        else if (a == "--records" && i + 1 < argc)
            records = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "--moved" && i + 1 < argc)
            movedMiB = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "--help") {
            std::puts("Usage: bench_make [--dir DIR] [--records N] [--moved MIB] [SIZE_MIB...]");
            return 0;
        } else
            sizes.push_back(std::strtoull(a.c_str(), nullptr, 10));
    }
    if (sizes.empty())
        sizes = {256, 1024, 2048};
    const std::uint64_t largest = *std::max_element(sizes.begin(), sizes.end());
    if (dir.empty())
        dir = defaultDir(largest);
    fs::create_directories(dir);
    const bool xdelta = haveXdelta();
    std::printf("bench_make: files in %s%s\n", dir.string().c_str(),
                xdelta ? "" : " (xdelta3 not installed: its comparison is skipped)");
    for (auto mib : sizes)
        benchOneSize(dir, mib, records, xdelta);
    for (const bool random : {false, true})
        benchMovedBlock(dir, std::min<std::uint64_t>(sizes.front(), 256), movedMiB, random);
    std::error_code ec;
    fs::remove_all(dir, ec);
    return 0;
}
