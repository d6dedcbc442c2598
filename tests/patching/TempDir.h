// A private temporary folder for one test, removed with everything in it afterwards.
#pragma once

#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

#include "core/FileIo.h"

class TempDir
{
public:
    explicit TempDir(const std::string& utf8Subfolder = {})
    {
        std::random_device rd;
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        root_ = std::filesystem::temp_directory_path() /
                ("qdt-engine-" + std::to_string(rd()) + "-" + std::to_string(stamp % 1000000));
        path_ = utf8Subfolder.empty() ? root_ : root_ / qdt::pathFromUtf8(utf8Subfolder);
        std::filesystem::create_directories(path_);
    }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    const std::filesystem::path& root() const { return root_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path root_;
    std::filesystem::path path_;
};
