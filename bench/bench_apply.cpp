// Measures quen-dara-patch on generated archives with translation-like edits and prints ratios
// measured in the same run:
//   apply (with backup and reverse patch) + sync   against   cp + sync of the archive, and
//                                                             dd bs=1M + sync (a copy through
//                                                             a program's own memory)
//   restore + sync, the first after an apply       against   later ones
//   apply + sync                                    against   xdelta3 -d -s of the same change
//   peak memory of apply                            against   64 MiB + the patch's size
//   status (is the patch applied?)                  against   one XXH64 pass over the archive
// Usage: bench_apply [--dir DIR] [--records N] [SIZE_MIB...]   (default sizes: 256 1024 2048)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/Xxh64.h"
#include "tests/support/TestData.h"

namespace fs = std::filesystem;

namespace {

struct Measured
{
    double seconds = 0;
    long peakKiB = 0;
    int exitCode = -1;
};

// Runs a program (no shell), returns wall time, peak resident memory and exit code. The peak is
// taken by /usr/bin/time: a child forked from this process would report this process's own size
// (Linux keeps the high-water mark across exec).
Measured runProgram(const std::vector<std::string>& args)
{
    static const fs::path peakFile =
        fs::temp_directory_path() / ("bench_apply-peak-" + std::to_string(::getpid()));
    std::vector<char*> argv;
    std::vector<std::string> copies = {"/usr/bin/time", "-f", "%M", "-o", peakFile.string()};
    copies.insert(copies.end(), args.begin(), args.end());
    for (auto& a : copies)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const auto t0 = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Figures only on our output: the programs' own answers go nowhere.
        if (FILE* null = std::fopen("/dev/null", "w"))
            ::dup2(fileno(null), 1);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    Measured m;
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    m.peakKiB = 0;
    if (FILE* f = std::fopen(peakFile.c_str(), "r")) {
        // "Command exited with non-zero status N" may come first; the figure is the last line.
        char line[256];
        while (std::fgets(line, sizeof line, f))
            m.peakKiB = std::strtol(line, nullptr, 10);
        std::fclose(f);
    }
    m.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return m;
}

double seconds(const std::chrono::steady_clock::time_point& since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

void require(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "bench_apply: %s failed\n", what);
        std::exit(1);
    }
}

constexpr int kRounds = 5;

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

std::string list(const std::vector<double>& v)
{
    std::string out;
    char one[32];
    for (double x : v) {
        std::snprintf(one, sizeof one, "%s%.2f", out.empty() ? "" : " ", x);
        out += one;
    }
    return out;
}

void removeQuietly(const fs::path& p)
{
    std::error_code ec;
    fs::remove(p, ec);
}

// On a virtual machine whose host backs the guest's memory only when it is first used, the first
// program to use page frames that were never used before pays for that (seen here: 4 GiB of
// fresh memory took 10 s to touch the first time and 3 s the second), whichever program it is.
// Touching the memory the benchmark will cycle through once, before anything is timed, leaves
// the programs' own costs to be measured.
void warmUpMemory(std::uint64_t largestMiB)
{
    long pages = ::sysconf(_SC_AVPHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0)
        return;
    const std::uint64_t available = static_cast<std::uint64_t>(pages) * pageSize;
    std::uint64_t want = (largestMiB << 20) * 6;
    const std::uint64_t spare = std::uint64_t(3) << 30;
    if (available <= spare)
        return;
    want = std::min(want, available - spare);
    for (int round = 1; round <= 2; ++round) {
        const auto t = std::chrono::steady_clock::now();
        std::vector<unsigned char> memory(want, static_cast<unsigned char>(round));
        volatile unsigned char sink = memory[want / 2];
        (void)sink;
        std::printf("memory warm-up: touched %.1f GiB in %.2f s (round %d)\n", want / 1073741824.0,
                    seconds(t), round);
    }
    std::fflush(stdout);
}

void benchOneSize(const fs::path& dir, std::uint64_t mib, std::size_t records)
{
    const std::uint64_t size = mib << 20;
    const fs::path archive = dir / "data.lpk";
    const fs::path target = dir / "target.lpk";
    const fs::path patch = dir / "patch.data";
    const fs::path delta = dir / "patch.xdelta";
    const fs::path copy = dir / "copy.lpk";
    const fs::path xdeltaOut = dir / "xdelta-out.lpk";
    const fs::path backup = dir / "backup.lpk";
    const fs::path reverse = dir / "patch_KR.data";

    std::printf("\n== %llu MiB archive, %zu records\n", static_cast<unsigned long long>(mib),
                records);
    std::fflush(stdout);
    testdata::writeArchive(archive, size, 2026);
    const auto edits = testdata::translationEdits(size, records, 2026);
    const auto patchBytes = testdata::makePatchForFile(archive, edits, 1, target);
    testdata::writeFile(patch, patchBytes);
    std::printf("patch: %.1f MiB\n", patchBytes.size() / 1048576.0);
    require(
        runProgram({"xdelta3", "-e", "-f", "-s", archive.string(), target.string(), delta.string()})
                .exitCode == 0,
        "xdelta3 -e");
    std::printf("xdelta3 delta: %.1f MiB\n", fs::file_size(delta) / 1048576.0);
    removeQuietly(target);
    runProgram({"sync"});

    // Five rounds, each: the baseline (one copy of the archive, made durable), then apply with
    // backup and reverse patch and sync (the tool flushes its own files already), then the
    // restore that follows it. The rounds interleave the programs, so that both see the same
    // state of a shared machine; the first restore after an apply is also reported on its own.
    std::vector<double> cpRuns, ddRuns, applyRuns, restoreRuns;
    Measured apply, status;
    double statusTime = 0;
    for (int i = 0; i < kRounds; ++i) {
        auto t = std::chrono::steady_clock::now();
        require(runProgram({"cp", archive.string(), copy.string()}).exitCode == 0, "cp");
        runProgram({"sync"});
        cpRuns.push_back(seconds(t));
        removeQuietly(copy);
        runProgram({"sync"});

        t = std::chrono::steady_clock::now();
        require(runProgram(
                    {"dd", "if=" + archive.string(), "of=" + copy.string(), "bs=1M", "status=none"})
                        .exitCode == 0,
                "dd");
        runProgram({"sync"});
        ddRuns.push_back(seconds(t));
        removeQuietly(copy);
        runProgram({"sync"});

        t = std::chrono::steady_clock::now();
        apply = runProgram({QDT_TOOL, "apply", archive.string(), patch.string(), "--backup",
                            backup.string(), "--reverse", reverse.string()});
        runProgram({"sync"});
        applyRuns.push_back(seconds(t));
        require(apply.exitCode == 0, "apply");
        if (i == 0) {
            // Is the patch applied? The tool's answer, against a bare hash pass below.
            t = std::chrono::steady_clock::now();
            status = runProgram({QDT_TOOL, "status", archive.string(), patch.string()});
            statusTime = seconds(t);
            require(status.exitCode == 0, "status");
        }
        t = std::chrono::steady_clock::now();
        require(runProgram({QDT_TOOL, "apply", archive.string(), reverse.string()}).exitCode == 0,
                "restore");
        runProgram({"sync"});
        restoreRuns.push_back(seconds(t));
    }
    auto t = std::chrono::steady_clock::now();
    const auto hash = qdt::hashFile(archive);
    const double hashTime = seconds(t);
    require(hash.ok(), "hash");

    // xdelta3 applying the same change.
    removeQuietly(backup);
    runProgram({"sync"});
    t = std::chrono::steady_clock::now();
    const Measured xd = runProgram(
        {"xdelta3", "-d", "-f", "-s", archive.string(), delta.string(), xdeltaOut.string()});
    runProgram({"sync"});
    const double xdeltaSync = seconds(t);
    require(xd.exitCode == 0, "xdelta3 -d");

    const double cpSync = median(cpRuns);
    const double applySync = median(applyRuns);
    const double cpBest = *std::min_element(cpRuns.begin(), cpRuns.end());
    const double applyBest = *std::min_element(applyRuns.begin(), applyRuns.end());
    const double patchMiB = patchBytes.size() / 1048576.0;
    std::printf("cp + sync:                 median %.2f s, best %.2f s   runs: %s\n", cpSync,
                cpBest, list(cpRuns).c_str());
    std::printf("dd bs=1M + sync:           median %.2f s, best %.2f s   runs: %s\n",
                median(ddRuns), *std::min_element(ddRuns.begin(), ddRuns.end()),
                list(ddRuns).c_str());
    std::printf("apply + sync:              median %.2f s, best %.2f s   runs: %s\n", applySync,
                applyBest, list(applyRuns).c_str());
    std::printf("apply / cp:                medians %.2f, best runs %.2f (goal <= 1.3)\n",
                applySync / cpSync, applyBest / cpBest);
    std::printf("restore + sync:            first after an apply %.2f s, later ones %s\n",
                restoreRuns[0],
                list(std::vector<double>(restoreRuns.begin() + 1, restoreRuns.end())).c_str());
    std::printf("xdelta3 -d + sync:         %7.2f s   apply / xdelta3:    %.2f\n", xdeltaSync,
                applySync / xdeltaSync);
    std::printf("peak memory apply:         %7.1f MiB (goal < 64 + 1 x %.1f = %.1f MiB)\n",
                apply.peakKiB / 1024.0, patchMiB, 64 + patchMiB);
    std::printf("peak memory xdelta3 -d:    %7.1f MiB\n", xd.peakKiB / 1024.0);
    std::printf("status:                    %7.2f s   one XXH64 pass:     %.2f s   ratio %.2f "
                "(goal <= 1.1)\n",
                statusTime, hashTime, statusTime / hashTime);
    std::fflush(stdout);

    for (const auto& p : {archive, patch, delta, xdeltaOut, backup, reverse})
        removeQuietly(p);
}

} // namespace

int main(int argc, char** argv)
{
    fs::path dir = fs::current_path() / "bench-data";
    std::size_t records = 50000;
    std::vector<std::uint64_t> sizes;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--dir" && i + 1 < argc)
            dir = argv[++i];
        else if (a == "--records" && i + 1 < argc)
            records = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "--help") {
            std::puts("Usage: bench_apply [--dir DIR] [--records N] [SIZE_MIB...]");
            return 0;
        } else
            sizes.push_back(std::strtoull(a.c_str(), nullptr, 10));
    }
    if (sizes.empty())
        sizes = {256, 1024, 2048};
    fs::create_directories(dir);
    std::printf("bench_apply: files in %s (page cache warm; every write made durable)\n",
                dir.string().c_str());
    warmUpMemory(*std::max_element(sizes.begin(), sizes.end()));
    for (auto mib : sizes)
        benchOneSize(dir, mib, records);
    std::error_code ec;
    fs::remove_all(dir, ec);
    return 0;
}
