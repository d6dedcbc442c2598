#include "patching/HashingFileInput.h"

#include <algorithm>
#include <cerrno>

#ifdef __linux__
#include <fcntl.h>
#include <unistd.h>
#endif

#include "core/FileIo.h"

namespace qdt {

bool HashingFileInput::read(unsigned char* buffer, std::size_t size)
{
    const std::size_t n = std::fread(buffer, 1, size, file_);
    hash_.update(buffer, n);
    read_ += n;
    return n == size;
}

bool HashingFileInput::drain()
{
    std::vector<unsigned char> block(kIoBlockSize);
    for (;;) {
        const std::size_t n = std::fread(block.data(), 1, block.size(), file_);
        hash_.update(block.data(), n);
        read_ += n;
        if (n < block.size())
            return !std::ferror(file_);
    }
}

#ifdef __linux__
ByteInput::Moved HashingFileInput::moveTo(ByteOutput& output, std::uint64_t size,
                                          const SeenFunction& seen)
{
    block_.resize(kIoBlockSize);
    while (size > 0) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(size, block_.size()));
        const std::size_t got = readAt(block_.data(), n);
        hash_.update(block_.data(), got);
        if (got < n) {
            read_ += got;
            return Moved::ReadFailed;
        }
        seen(block_.data(), n);
        // The system copies the same bytes from the archive's file (in its cache now): the
        // output gets them without a write of ours.
        std::size_t copied = 0;
        if (systemCopy_) {
            const int to = output.settledDescriptor();
            loff_t from = static_cast<loff_t>(read_);
            while (to >= 0 && copied < n) {
                const ssize_t r =
                    ::copy_file_range(::fileno(file_), &from, to, nullptr, n - copied, 0);
                if (r < 0 && errno == EINTR)
                    continue;
                if (r <= 0)
                    break;
                copied += static_cast<std::size_t>(r);
            }
            if (copied > 0)
                output.addedDirectly(copied);
            copiedBySystem_ += copied;
            // A refusal is for good (another file system, a kernel without it); a real write
            // error shows again, with its reason, in the write below.
            systemCopy_ = copied == n;
        }
        read_ += n;
        if (copied < n && !output.write(block_.data() + copied, n - copied))
            return Moved::WriteFailed;
        size -= n;
    }
    // The stream's own reading goes on after the stretch.
    return ::fseeko(file_, static_cast<off_t>(read_), SEEK_SET) == 0 ? Moved::Done
                                                                     : Moved::ReadFailed;
}

std::size_t HashingFileInput::readAt(unsigned char* buffer, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t r =
            ::pread(::fileno(file_), buffer + done, size - done, static_cast<off_t>(read_ + done));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        done += static_cast<std::size_t>(r);
    }
    return done;
}
#endif

} // namespace qdt
