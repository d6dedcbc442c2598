// quen-dara-patch: the patch engine from the command line, for scripted installs, players
// without the window and our own measurements.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
// shellapi.h needs windows.h before it.
#include <io.h>
#include <shellapi.h>
#else
#include <unistd.h>
#endif

#include "core/FileIo.h"
#include "patching/PatchEngine.h"
#include "patching/PatchFormat.h"
#include "tools/Publishing.h"
#include "tools/ToolArgs.h"

using tool::Args;
using tool::refuse;
using tool::usageError;

namespace tool {

const char kUsage[] =
    "Usage:\n"
    "  quen-dara-patch apply ARCHIVE PATCH [--reverse FILE] [--backup FILE]\n"
    "      Applies PATCH to ARCHIVE in place. The archive is replaced in one step only by a\n"
    "      content with the hash the patch promises. --reverse writes the patch that undoes it,\n"
    "      --backup keeps a copy of the archive as it was. Exit status 0 on success, 1 when\n"
    "      refused (the reason on one line of standard error). An archive that another\n"
    "      program holds so that it can't be replaced is written in place, under the journal\n"
    "      ARCHIVE.patching; apply and status finish or undo such a write that was stopped.\n"
    "  quen-dara-patch status ARCHIVE PATCH\n"
    "      Prints original, patched or unknown. Exit status 1 only on errors.\n"
    "  quen-dara-patch info PATCH\n"
    "      Prints the header fields, the number of records, the bytes replaced and inserted and\n"
    "      whether the patch is well-formed (exit status 1 when it is not).\n"
    "\n"
    "For publishers:\n"
    "  quen-dara-patch make ORIGINAL TRANSLATED -o PATCH [--header-word HEX]\n"
    "      Writes the patch that turns ORIGINAL into TRANSLATED (both read once, of any size).\n"
    "      The header word (up to 8 hexadecimal digits, default 0) is stored as it is. PATCH is\n"
    "      written beside itself and renamed when complete; it may not be either archive. A\n"
    "      patch over 1 GiB, which the patcher refuses, is not written.\n"
    "  quen-dara-patch keygen -o KEY\n"
    "      Makes a release key: the secret key KEY (readable by its owner only; an existing\n"
    "      file is never written over) and the public key KEY.pub, which is also printed as\n"
    "      one base64 line. The patcher is built with the public key (QDT_RELEASE_KEYS).\n"
    "  quen-dara-patch manifest --version VERSION [--language KEY=URL,FILE]... -o MANIFEST\n"
    "          [--sign KEY [--serial N] [--valid-days D]]\n"
    "      Writes the manifest (patch.json) the patcher reads. VERSION is MAJOR.MINOR (0.4)\n"
    "      or the encoded whole number (major * 65536 + minor, so 4 is 0.4). KEY is en (Human\n"
    "      English), en_m (Human + Machine English) or ru (Russian), each at most once; a\n"
    "      language left out is not offered. URL is where players download FILE: http:// or\n"
    "      https:// with a host, a comma in it written as %2C. FILE's hash goes into the\n"
    "      manifest. --sign adds each file's SHA-256, the release number N (default: the\n"
    "      time in seconds, so each release is higher than the last; a patcher refuses a\n"
    "      lower one than it has seen) and, with --valid-days, an expiry D days from now,\n"
    "      and writes the signature MANIFEST.sig beside it: upload both.\n"
    "  quen-dara-patch verify MANIFEST --original ORIGINAL --files FOLDER [--key KEY.pub]...\n"
    "      Checks a release before it is uploaded: for each language of MANIFEST, the file in\n"
    "      FOLDER named by the last part of its URL (patch_EN.data for .../patch_EN.data) is\n"
    "      there, has the listed hashes, is a well-formed patch for ORIGINAL and gives the\n"
    "      result it promises. With --key, MANIFEST.sig must be a signature of MANIFEST by\n"
    "      one of the keys, and the release number and expiry are checked. ORIGINAL is only\n"
    "      read. One line per check; exit status 1 on any fault.\n"
    "\n"
    "  quen-dara-patch --help\n";

bool stderrIsTerminal()
{
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return ::isatty(2) != 0;
#endif
}

} // namespace tool

namespace {

Args collectArgs(int argc, char** argv)
{
    Args args;
#ifdef _WIN32
    // The narrow argv is in the ANSI code page and loses letters outside it (Cyrillic folder
    // names on a Western system): take the wide command line instead.
    (void)argc;
    (void)argv;
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    for (int i = 1; wide && i < count; ++i) {
        std::filesystem::path p(wide[i]);
        args.paths.push_back(p);
        args.texts.push_back(qdt::displayPath(p));
    }
    LocalFree(wide);
#else
    for (int i = 1; i < argc; ++i) {
        args.paths.emplace_back(argv[i]);
        args.texts.emplace_back(argv[i]);
    }
#endif
    return args;
}

std::string describe(const qdt::Status& status)
{
    switch (status.kind) {
    case qdt::ErrorKind::BadMagic:
        return "not a patch file (it does not start with \"PTCH\")";
    default:
        return status.detail;
    }
}

// What an earlier run that was stopped half-way left, and what was done about it.
void reportRecovery(const qdt::RecoveryReport& report)
{
    if (report.outcome != qdt::RecoveryReport::Outcome::Nothing)
        std::fprintf(stderr, "quen-dara-patch: %s\n", report.message.c_str());
}

qdt::Result<std::vector<unsigned char>> readPatch(const std::filesystem::path& path)
{
    auto data = qdt::readWholeFile(path, qdt::kMaxPatchSize);
    if (data && data.value.empty())
        return qdt::Result<std::vector<unsigned char>>::failure(
            qdt::ErrorKind::BadMagic, qdt::displayPath(path) + " is empty");
    return data;
}

int apply(const Args& args)
{
    std::filesystem::path reverse, backup;
    std::vector<std::size_t> positional;
    for (std::size_t i = 1; i < args.texts.size(); ++i) {
        const std::string& a = args.texts[i];
        if (a == "--reverse" || a == "--backup") {
            if (i + 1 >= args.texts.size())
                return usageError(a + " needs a file name");
            (a == "--reverse" ? reverse : backup) = args.paths[++i];
        } else if (a.size() > 1 && a[0] == '-') {
            return usageError("unknown option " + a);
        } else {
            positional.push_back(i);
        }
    }
    if (positional.size() != 2)
        return usageError("apply needs ARCHIVE and PATCH");
    const auto& archive = args.paths[positional[0]];
    const auto& patchPath = args.paths[positional[1]];
    auto patch = readPatch(patchPath);
    if (!patch)
        return refuse(qdt::displayPath(patchPath) + ": " + describe(patch.status));

    qdt::ApplyRequest request;
    request.archive = archive;
    request.patch = patch.value.data();
    request.patchSize = patch.value.size();
    request.backup = backup;
    request.reversePatch = reverse;
    // With a reverse patch kept, what is applied is a translation of the original.
    if (!reverse.empty())
        request.content = qdt::ResultContent::Translation;
    request.patchFile = patchPath;
    tool::ProgressBar bar(tool::stderrIsTerminal());
    request.progress = bar.callback();
    reportRecovery(qdt::recoverKilledRun(archive, backup, reverse));
    const qdt::Status status = qdt::applyPatchToArchive(request);
    bar.finish();
    if (status.kind == qdt::ErrorKind::BadMagic || status.kind == qdt::ErrorKind::Malformed)
        return refuse(qdt::displayPath(patchPath) + ": " + describe(status));
    if (!status)
        return refuse(describe(status));
    return 0;
}

// The patch's header, all that telling the archive's state needs: a large patch is not read
// whole for it. Refused as readPatch refuses.
qdt::Result<std::vector<unsigned char>> readPatchHeaderBytes(const std::filesystem::path& path)
{
    using R = qdt::Result<std::vector<unsigned char>>;
    auto file = qdt::openFile(path, qdt::FileMode::Read);
    if (!file)
        return R::failure(file.status);
    std::error_code ec;
    if (std::filesystem::file_size(path, ec) > qdt::kMaxPatchSize && !ec)
        return R::failure(qdt::ErrorKind::Unsupported, qdt::displayPath(path) + " is larger than " +
                                                           std::to_string(qdt::kMaxPatchSize) +
                                                           " bytes");
    std::vector<unsigned char> head(qdt::kPatchHeaderSize);
    head.resize(std::fread(head.data(), 1, head.size(), file.value.get()));
    if (std::ferror(file.value.get()))
        return R::failure(qdt::ErrorKind::ReadFailed, "Can't read " + qdt::displayPath(path));
    if (head.empty())
        return R::failure(qdt::ErrorKind::BadMagic, qdt::displayPath(path) + " is empty");
    return R::success(std::move(head));
}

int status(const Args& args)
{
    if (args.paths.size() != 3)
        return usageError("status needs ARCHIVE and PATCH");
    auto patch = readPatchHeaderBytes(args.paths[2]);
    if (!patch)
        return refuse(qdt::displayPath(args.paths[2]) + ": " + describe(patch.status));
    // A stopped run is settled here too, not only at the next apply.
    reportRecovery(qdt::recoverKilledRun(args.paths[1], {}, {}));
    auto state = qdt::archiveState(args.paths[1], patch.value.data(), patch.value.size());
    if (!state) {
        if (state.status.kind == qdt::ErrorKind::BadMagic ||
            state.status.kind == qdt::ErrorKind::Malformed)
            return refuse(qdt::displayPath(args.paths[2]) + ": " + describe(state.status));
        return refuse(describe(state.status));
    }
    const char* names[] = {"original", "patched", "unknown"};
    std::printf("%s\n", names[static_cast<int>(state.value)]);
    return 0;
}

int info(const Args& args)
{
    if (args.paths.size() != 2)
        return usageError("info needs PATCH");
    auto patch = readPatch(args.paths[1]);
    if (!patch)
        return refuse(qdt::displayPath(args.paths[1]) + ": " + describe(patch.status));
    auto header = qdt::readPatchHeader(patch.value.data(), patch.value.size());
    if (!header)
        return refuse(qdt::displayPath(args.paths[1]) + ": " + describe(header.status));
    const auto& h = header.value;
    std::printf("size: %zu bytes\n", patch.value.size());
    std::printf("header word: %02x %02x %02x %02x\n", h.headerWord[0], h.headerWord[1],
                h.headerWord[2], h.headerWord[3]);
    std::printf("source hash: %016" PRIx64 "\n", h.sourceHash);
    std::printf("result hash: %016" PRIx64 "\n", h.resultHash);
    auto checked = qdt::checkPatch(patch.value.data(), patch.value.size());
    if (!checked) {
        std::printf("well-formed: no (%s)\n", checked.status.detail.c_str());
        return 1;
    }
    std::printf("records: %" PRIu64 "\n", checked.value.recordCount);
    std::printf("bytes replaced: %" PRIu64 "\n", checked.value.bytesReplaced);
    std::printf("bytes inserted: %" PRIu64 "\n", checked.value.bytesInserted);
    std::printf("smallest archive it fits: %" PRIu64 " bytes\n", checked.value.minimumSourceSize);
    std::printf("well-formed: yes\n");
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const Args args = collectArgs(argc, argv);
    if (args.texts.empty())
        return usageError("no command given");
    const std::string& command = args.texts[0];
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(tool::kUsage, stdout);
        return 0;
    }
    if (command == "apply")
        return apply(args);
    if (command == "status")
        return status(args);
    if (command == "info")
        return info(args);
    if (command == "keygen")
        return tool::keygenCommand(args);
    if (command == "make")
        return tool::makeCommand(args);
    if (command == "manifest")
        return tool::manifestCommand(args);
    if (command == "verify")
        return tool::verifyCommand(args);
    return usageError("unknown command " + command);
}
