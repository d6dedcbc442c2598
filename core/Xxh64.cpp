#include "core/Xxh64.h"

#include <cstdio>
#include <memory>
#include <vector>

#include <xxhash.h>

#include "core/FileIo.h"

namespace qdt {

std::uint64_t xxh64(const void* data, std::size_t size)
{
    return XXH64(data, size, kHashSeed);
}

Xxh64Stream::Xxh64Stream() : state_(XXH64_createState())
{
    XXH64_reset(static_cast<XXH64_state_t*>(state_), kHashSeed);
}

Xxh64Stream::~Xxh64Stream()
{
    XXH64_freeState(static_cast<XXH64_state_t*>(state_));
}

void Xxh64Stream::update(const void* data, std::size_t size)
{
    XXH64_update(static_cast<XXH64_state_t*>(state_), data, size);
}

std::uint64_t Xxh64Stream::digest() const
{
    return XXH64_digest(static_cast<const XXH64_state_t*>(state_));
}

Result<std::uint64_t> hashFile(const std::filesystem::path& path)
{
    auto file = openFile(path, FileMode::Read);
    if (!file)
        return Result<std::uint64_t>::failure(file.status);
    return hashOpenFile(file.value.get(), displayPath(path));
}

Result<std::uint64_t> hashOpenFile(std::FILE* file, const std::string& name)
{
    Xxh64Stream hash;
    std::vector<unsigned char> buffer(kIoBlockSize);
    for (;;) {
        const std::size_t n = std::fread(buffer.data(), 1, buffer.size(), file);
        if (n > 0)
            hash.update(buffer.data(), n);
        if (n < buffer.size()) {
            if (std::ferror(file))
                return Result<std::uint64_t>::failure(ErrorKind::ReadFailed, "Can't read " + name);
            break;
        }
    }
    return Result<std::uint64_t>::success(hash.digest());
}

} // namespace qdt
