// What a click costs when the game was updated and the published patch no longer fits: the
// archive's hash is learnt once (the folder validation's pass), and a click then compares the
// patch's source hash with the remembered one while the file keeps its fingerprint. Printed
// against the engine's own refusal, which reads the whole archive and writes the patched copy
// beside it before its hash check can say no.
// Usage: bench_refusal [--dir DIR] [SIZE_MIB]   (default 2048, in a temporary folder)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

#include "core/FileFingerprint.h"
#include "core/FileIo.h"
#include "patching/PatchEngine.h"
#include "patching/PatchFormat.h"
#include "tests/support/TestData.h"

namespace fs = std::filesystem;

namespace {

double secondsSince(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

} // namespace

int main(int argc, char** argv)
{
    fs::path dir;
    std::uint64_t sizeMiB = 2048;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--dir" && i + 1 < argc)
            dir = argv[++i];
        else
            sizeMiB = std::strtoull(argv[i], nullptr, 10);
    }
    const bool ownDir = dir.empty();
    if (ownDir)
        dir = fs::temp_directory_path() / ("bench_refusal-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const fs::path archive = dir / "data.lpk";

    // The "updated" archive: sizeMiB of generated content, written in 64 MiB pieces.
    {
        auto out = qdt::openFile(archive, qdt::FileMode::Create);
        if (!out) {
            std::fprintf(stderr, "%s\n", out.status.detail.c_str());
            return 1;
        }
        const testdata::Bytes piece = testdata::makeArchive(64u << 20, 5);
        for (std::uint64_t done = 0; done < sizeMiB; done += 64)
            std::fwrite(piece.data(), 1, piece.size(), out.value.get());
    }
    // A patch made for another original (the game version before the update).
    const testdata::Bytes before = testdata::makeArchive(1u << 20, 6);
    const testdata::Bytes patch =
        testdata::makePatch(before, testdata::translationEdits(before.size(), 40, 6));

    qdt::RememberedHash remembered;
    auto t0 = std::chrono::steady_clock::now();
    const auto learnt = remembered.hash(archive);
    const double validation = secondsSince(t0);

    t0 = std::chrono::steady_clock::now();
    const auto header = qdt::readPatchHeader(patch.data(), patch.size());
    const auto known = remembered.known(archive);
    const bool refusedAtOnce = header && known && *known != header.value.sourceHash;
    const double click = secondsSince(t0);

    qdt::ApplyRequest request;
    request.archive = archive;
    request.patch = patch.data();
    request.patchSize = patch.size();
    t0 = std::chrono::steady_clock::now();
    const qdt::Status engine = qdt::applyPatchToArchive(request);
    const double engineRefusal = secondsSince(t0);

    std::printf("archive %llu MiB in %s\n", static_cast<unsigned long long>(sizeMiB),
                dir.string().c_str());
    std::printf("validation's hash pass (once):           %8.3f s (%s)\n", validation,
                learnt ? "ok" : learnt.status.detail.c_str());
    std::printf("click, refused from the remembered hash: %8.6f s (%s)\n", click,
                refusedAtOnce ? "refused" : "NOT refused");
    std::printf("click, refused by the engine's pass:     %8.3f s (%s)\n", engineRefusal,
                engine.kind == qdt::ErrorKind::SourceMismatch ? "refused" : "other outcome");
    if (click > 0)
        std::printf("engine pass / remembered hash:           %.0fx\n", engineRefusal / click);
    if (ownDir)
        fs::remove_all(dir);
    return refusedAtOnce ? 0 : 1;
}
