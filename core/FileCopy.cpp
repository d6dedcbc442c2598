#include "core/FileCopy.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <vector>

#include "core/FileIo.h"
#include "core/LongPath.h"

#ifdef __linux__
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace qdt {

namespace {

Status writeError(const std::filesystem::path& to)
{
    return Status::failure(ErrorKind::WriteFailed,
                           "Can't write " + displayPath(to) + ": " + std::strerror(errno));
}

#ifdef __linux__
// Clone or in-kernel copy of the whole file. Returns false (with nothing decided) when the file
// system offers neither, so that the caller falls back to reads and writes.
bool fastCopy(std::FILE* in, std::FILE* out, std::uint64_t size, Status& status,
              const std::filesystem::path& to)
{
    const int inFd = fileno(in);
    const int outFd = fileno(out);
#ifdef FICLONE
    if (::ioctl(outFd, FICLONE, inFd) == 0)
        return true;
#endif
    std::uint64_t done = 0;
    while (done < size) {
        const std::size_t chunk =
            static_cast<std::size_t>(std::min<std::uint64_t>(size - done, 1u << 30));
        const ssize_t n = ::copy_file_range(inFd, nullptr, outFd, nullptr, chunk, 0);
        if (n < 0) {
            if (done == 0 &&
                (errno == ENOSYS || errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP))
                return false;
            status = writeError(to);
            return true;
        }
        if (n == 0) {
            status = Status::failure(ErrorKind::ReadFailed,
                                     "The file changed while it was copied to " + displayPath(to));
            return true;
        }
        done += static_cast<std::uint64_t>(n);
    }
    return true;
}
#endif

Status copyContent(std::FILE* in, std::FILE* out, const std::filesystem::path& from,
                   const std::filesystem::path& to)
{
    std::vector<unsigned char> block(kIoBlockSize);
    for (;;) {
        const std::size_t n = std::fread(block.data(), 1, block.size(), in);
        if (n > 0 && std::fwrite(block.data(), 1, n, out) != n)
            return writeError(to);
        if (n < block.size()) {
            if (std::ferror(in))
                return Status::failure(ErrorKind::ReadFailed, "Can't read " + displayPath(from));
            return Status::success();
        }
    }
}

} // namespace

Status copyFileFlushed(const std::filesystem::path& from, const std::filesystem::path& to,
                       const std::filesystem::path& nameForMessages)
{
    auto in = openFile(from, FileMode::Read);
    if (!in)
        return in.status;
    std::error_code ec;
    const auto size = std::filesystem::file_size(systemPath(from), ec);
    if (ec)
        return Status::failure(ErrorKind::ReadFailed, "Can't read " + displayPath(from));

    Status status;
    {
        auto out = openFile(to, FileMode::Create);
        if (!out)
            return out.status;
        bool done = false;
#ifdef __linux__
        done = fastCopy(in.value.get(), out.value.get(), size, status, nameForMessages);
#else
        (void)size;
#endif
        if (!done)
            status = copyContent(in.value.get(), out.value.get(), from, nameForMessages);
        if (status.ok())
            status = flushToDisk(out.value.get(), nameForMessages);
        if (std::fclose(out.value.release()) != 0 && status.ok())
            status = writeError(nameForMessages);
    }
    if (!status.ok())
        std::filesystem::remove(systemPath(to), ec);
    return status;
}

Status copyFileAtomically(const std::filesystem::path& from, const std::filesystem::path& to)
{
    return replaceAtomically(
        to, [&](const std::filesystem::path& tmp) { return copyFileFlushed(from, tmp, to); });
}

} // namespace qdt
