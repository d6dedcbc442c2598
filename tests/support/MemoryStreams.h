// The engine's input and output interfaces over byte vectors, for tests and the fuzzer.
#pragma once

#include <cstring>
#include <utility>
#include <vector>

#include "patching/PatchEngine.h"

class MemoryInput : public qdt::ByteInput
{
public:
    explicit MemoryInput(std::vector<unsigned char> bytes) : bytes_(std::move(bytes)) {}

    bool read(unsigned char* buffer, std::size_t size) override
    {
        if (bytes_.size() - pos_ < size)
            return false;
        if (size > 0)
            std::memcpy(buffer, bytes_.data() + pos_, size);
        pos_ += size;
        return true;
    }

private:
    std::vector<unsigned char> bytes_;
    std::size_t pos_ = 0;
};

class MemoryOutput : public qdt::ByteOutput
{
public:
    bool write(const unsigned char* data, std::size_t size) override
    {
        bytes.insert(bytes.end(), data, data + size);
        return true;
    }

    std::vector<unsigned char> bytes;
};
