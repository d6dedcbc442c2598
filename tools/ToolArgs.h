// What every command of quen-dara-patch shares: its arguments as paths and as text, its messages
// and its progress bar.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace tool {

struct Args
{
    std::vector<std::filesystem::path> paths; // every argument as a native path
    std::vector<std::string> texts;           // every argument as UTF-8 text
};

// A refusal: one line on standard error, exit status 1.
inline int refuse(const std::string& reason)
{
    std::fprintf(stderr, "quen-dara-patch: %s\n", reason.c_str());
    return 1;
}

// Whether standard error is a terminal, where a progress bar may redraw its line.
bool stderrIsTerminal();

// The text of --help.
extern const char kUsage[];

// A command line that can't be understood: the reason and the usage, exit status 2.
inline int usageError(const std::string& reason)
{
    std::fprintf(stderr, "quen-dara-patch: %s\n%s", reason.c_str(), kUsage);
    return 2;
}

// A bar on standard error while it is a terminal; nothing otherwise. finish() ends its line.
class ProgressBar
{
public:
    explicit ProgressBar(bool shown) : shown_(shown) {}
    std::function<void(std::uint64_t, std::uint64_t)> callback()
    {
        if (!shown_)
            return {};
        return [this](std::uint64_t done, std::uint64_t total) {
            const int percent = total ? static_cast<int>(done * 100 / total) : 100;
            if (percent == drawn_)
                return;
            drawn_ = percent;
            const int filled = percent / 5;
            std::fprintf(stderr, "\r[%.*s%*s] %3d%%", filled, "####################", 20 - filled,
                         "", percent);
            std::fflush(stderr);
        };
    }
    void finish()
    {
        if (shown_ && drawn_ >= 0)
            std::fputc('\n', stderr);
        drawn_ = -1;
    }

private:
    bool shown_;
    int drawn_ = -1;
};

} // namespace tool
