#include "game/platform/CaseInsensitive.h"

#include <algorithm>

namespace qdt {

namespace {

// Decodes UTF-8 into code points. A byte that is not part of a valid sequence stands for itself
// in a private range, so broken text still compares equal only to the same broken text.
std::u32string decode(std::string_view s)
{
    std::u32string out;
    out.reserve(s.size());
    std::size_t i = 0;
    while (i < s.size()) {
        const auto b = static_cast<unsigned char>(s[i]);
        int extra = b < 0x80           ? 0
                    : (b >> 5) == 0x6  ? 1
                    : (b >> 4) == 0xE  ? 2
                    : (b >> 3) == 0x1E ? 3
                                       : -1;
        char32_t cp = extra == 0   ? b
                      : extra == 1 ? (b & 0x1F)
                      : extra == 2 ? (b & 0x0F)
                                   : (b & 0x07);
        bool valid = extra >= 0 && i + static_cast<std::size_t>(extra) < s.size();
        for (int k = 1; valid && k <= extra; ++k) {
            const auto c = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
            if ((c & 0xC0) != 0x80)
                valid = false;
            else
                cp = (cp << 6) | (c & 0x3F);
        }
        if (!valid) {
            out.push_back(0xF0000 + b);
            ++i;
            continue;
        }
        out.push_back(cp);
        i += static_cast<std::size_t>(extra) + 1;
    }
    return out;
}

char32_t fold(char32_t c)
{
    if (c >= U'A' && c <= U'Z')
        return c + 0x20;
    if (c < 0x80)
        return c;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) // Latin-1 capitals
        return c + 0x20;
    if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) // Greek capitals
        return c + 0x20;
    if (c >= 0x400 && c <= 0x40F) // Cyrillic Ѐ..Џ
        return c + 0x50;
    if (c >= 0x410 && c <= 0x42F) // Cyrillic А..Я
        return c + 0x20;
    return c;
}

std::u32string folded(std::string_view s)
{
    std::u32string out = decode(s);
    std::transform(out.begin(), out.end(), out.begin(), fold);
    return out;
}

} // namespace

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    // Every folded letter is encoded in as many bytes as the letter itself, so texts of different
    // lengths never match; this spares the decoding for almost every key of a registry file.
    if (a.size() != b.size())
        return false;
    return folded(a) == folded(b);
}

bool containsIgnoringCase(std::string_view haystack, std::string_view needle)
{
    return folded(haystack).find(folded(needle)) != std::u32string::npos;
}

bool endsWithIgnoringCase(std::string_view text, std::string_view suffix)
{
    const std::u32string t = folded(text);
    const std::u32string s = folded(suffix);
    return t.size() >= s.size() && t.compare(t.size() - s.size(), s.size(), s) == 0;
}

} // namespace qdt
