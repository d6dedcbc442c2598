// The archive as the streaming pass reads it, hashed on the way: the bytes checked against the
// patch's source hash are exactly the bytes the result was made from.
//
// On Linux long unchanged stretches between the records go from file to file inside the kernel
// (copy_file_range), as cp copies: each byte is read once into our memory, for the hashes, and
// copied once, by the system, instead of passing through our buffers on its way back out. A writer
// changing the archive between our read and the system's copy is caught by the change stamp, as any
// writer during the pass is. Where the system refuses the copy (another file system, an old kernel,
// an output it can't copy into) the bytes already read are written the usual way, and so is the
// rest of the pass.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "core/Xxh64.h"
#include "patching/PatchEngine.h"

namespace qdt {

class HashingFileInput : public ByteInput
{
public:
    // Reads `file` from where it stands, its start; the file stays the caller's.
    explicit HashingFileInput(std::FILE* file) : file_(file) {}

    bool read(unsigned char* buffer, std::size_t size) override;
#ifdef __linux__
    Moved moveTo(ByteOutput& output, std::uint64_t size, const SeenFunction& seen) override;
#endif
    // Reads and hashes whatever is left; false on a read error.
    bool drain();

    std::uint64_t digest() const
    {
        return hash_.digest();
    }
    std::uint64_t bytesRead() const
    {
        return read_;
    }
    // Bytes the system copied into outputs without passing them through our memory.
    std::uint64_t bytesCopiedBySystem() const
    {
        return copiedBySystem_;
    }

private:
    std::FILE* file_;
    Xxh64Stream hash_;
    std::uint64_t read_ = 0;
    std::uint64_t copiedBySystem_ = 0;
#ifdef __linux__
    // Reads at the stream's logical position without moving it.
    std::size_t readAt(unsigned char* buffer, std::size_t size);
    bool systemCopy_ = true;
    std::vector<unsigned char> block_;
#endif
};

} // namespace qdt
