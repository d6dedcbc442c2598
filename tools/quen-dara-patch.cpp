// quen-dara-patch: the patch engine from the command line, for scripted installs, players
// without the window and our own measurements.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#ifdef _WIN32
#include <windows.h>
// shellapi.h needs windows.h before it.
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <thread>
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

#ifdef _WIN32
namespace {

// A console shows the bytes a program writes in its own code page (866 on a Russian system, 437
// or 850 on many others), while everything this tool prints is UTF-8: "C:\Игры\..." would come
// out garbled. While standard output or error is a console, it is swapped for a pipe whose other
// end turns the UTF-8 into UTF-16 for WriteConsoleW; the console's code page, which the player's
// shell shares, is left alone. Pipes and files keep getting UTF-8.
class ConsoleWriter
{
public:
    ConsoleWriter()
    {
        const bool out = isConsole(STD_OUTPUT_HANDLE), err = isConsole(STD_ERROR_HANDLE);
        if (!out && !err)
            return;
        int ends[2];
        if (_pipe(ends, 4096, _O_BINARY | _O_NOINHERIT) != 0)
            return;
        readEnd_ = ends[0];
        for (int fd : {1, 2}) {
            if (!(fd == 1 ? out : err))
                continue;
            std::FILE* stream = fd == 1 ? stdout : stderr;
            std::fflush(stream);
            // The console is written through a second handle of it: the stream's own handle is
            // closed when the stream moves to the pipe.
            saved_[fd] = _dup(fd);
            if (saved_[fd] < 0)
                continue;
            if (console_ == nullptr)
                console_ = reinterpret_cast<HANDLE>(_get_osfhandle(saved_[fd]));
            _dup2(ends[1], fd);
            // Each printf reaches the console at once, as it did when the stream was the console.
            std::setvbuf(stream, nullptr, _IONBF, 0);
            if (fd == 2)
                stderrToConsole_ = true;
        }
        _close(ends[1]);
        try {
            reader_ = std::thread([this] { run(); });
        } catch (const std::system_error&) {
            giveBack();
            closeSaved();
            _close(readEnd_);
            stderrToConsole_ = false;
        }
    }
    ~ConsoleWriter() { finish(); }
    ConsoleWriter(const ConsoleWriter&) = delete;
    ConsoleWriter& operator=(const ConsoleWriter&) = delete;

    // Writes out everything printed so far and gives the streams their consoles back.
    void finish()
    {
        if (!reader_.joinable())
            return;
        giveBack();
        reader_.join();
        _close(readEnd_);
        closeSaved();
    }

    static bool stderrToConsole() { return stderrToConsole_; }

private:
    // Points the streams at their consoles again, which closes the pipe's writing end.
    void giveBack()
    {
        for (int fd : {1, 2}) {
            if (saved_[fd] < 0)
                continue;
            std::fflush(fd == 1 ? stdout : stderr);
            _dup2(saved_[fd], fd);
        }
    }

    // The second handles of the consoles, once nothing writes through them any more.
    void closeSaved()
    {
        for (int& fd : saved_) {
            if (fd >= 0)
                _close(fd);
            fd = -1;
        }
    }

    static bool isConsole(DWORD which)
    {
        DWORD mode = 0;
        const HANDLE h = GetStdHandle(which);
        return h != nullptr && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode);
    }

    void run()
    {
        std::string pending;
        char block[4096];
        for (;;) {
            const int n = _read(readEnd_, block, sizeof block);
            if (n <= 0)
                break;
            pending.append(block, static_cast<std::size_t>(n));
            // A letter cut in two by the pipe waits for its other bytes.
            const std::size_t whole = completeLength(pending);
            show(pending.data(), whole);
            pending.erase(0, whole);
        }
        show(pending.data(), pending.size());
    }

    // The length of the longest start of `text` that does not end inside a UTF-8 sequence.
    static std::size_t completeLength(const std::string& text)
    {
        const std::size_t size = text.size();
        for (std::size_t back = 1; back <= 3 && back <= size; ++back) {
            const auto c = static_cast<unsigned char>(text[size - back]);
            if ((c & 0xC0) == 0x80)
                continue; // a continuation byte: look further back for the lead byte
            const std::size_t needed = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
            return needed > back ? size - back : size;
        }
        return size;
    }

    void show(const char* text, std::size_t size)
    {
        if (size == 0)
            return;
        const int n = MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(size), nullptr, 0);
        if (n <= 0)
            return;
        std::wstring wide(static_cast<std::size_t>(n), L'\0');
        MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(size), wide.data(), n);
        DWORD written = 0;
        WriteConsoleW(console_, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    }

    HANDLE console_ = nullptr;
    int readEnd_ = -1;
    int saved_[3] = {-1, -1, -1};
    std::thread reader_;
    static inline bool stderrToConsole_ = false;
};

} // namespace
#endif

bool stderrIsTerminal()
{
#ifdef _WIN32
    return ConsoleWriter::stderrToConsole() || _isatty(_fileno(stderr)) != 0;
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

int run(int argc, char** argv)
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

int main(int argc, char** argv)
{
#ifdef _WIN32
    tool::ConsoleWriter console;
#endif
    return run(argc, argv);
}
