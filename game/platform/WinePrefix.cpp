#include "game/platform/WinePrefix.h"

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <system_error>
#include <vector>

#include "core/FileIo.h"
#include "game/platform/CaseInsensitive.h"

namespace qdt {

namespace {

void appendUtf8(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Text between a quote at `start` and the matching unescaped quote; npos-safe.
bool quoted(std::string_view line, std::size_t start, std::string_view& inner, std::size_t& after)
{
    if (start >= line.size() || line[start] != '"')
        return false;
    for (std::size_t i = start + 1; i < line.size(); ++i) {
        if (line[i] == '\\') {
            ++i;
            continue;
        }
        if (line[i] == '"') {
            inner = line.substr(start + 1, i - start - 1);
            after = i + 1;
            return true;
        }
    }
    return false;
}

std::vector<unsigned char> hexBytes(std::string_view text)
{
    std::vector<unsigned char> bytes;
    int high = -1;
    for (char c : text) {
        const int d = hexDigit(c);
        if (d < 0) {
            high = -1;
            continue;
        }
        if (high < 0) {
            high = d;
        } else {
            bytes.push_back(static_cast<unsigned char>(high * 16 + d));
            high = -1;
        }
    }
    return bytes;
}

std::string utf16leText(const std::vector<unsigned char>& bytes)
{
    std::string out;
    char32_t pendingHigh = 0;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const char32_t unit = bytes[i] | (bytes[i + 1] << 8);
        if (unit == 0)
            break;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            pendingHigh = unit;
            continue;
        }
        if (unit >= 0xDC00 && unit <= 0xDFFF && pendingHigh) {
            appendUtf8(out, 0x10000 + ((pendingHigh - 0xD800) << 10) + (unit - 0xDC00));
            pendingHigh = 0;
            continue;
        }
        pendingHigh = 0;
        appendUtf8(out, unit);
    }
    return out;
}

std::string littleEndianNumber(const std::vector<unsigned char>& bytes, std::size_t width)
{
    if (bytes.size() < width)
        return {};
    std::uint64_t v = 0;
    for (std::size_t i = width; i-- > 0;)
        v = (v << 8) | bytes[i];
    return std::to_string(v);
}

// The value's data (everything after "=") as text, or empty for kinds that hold no text.
std::string valueText(std::string_view data)
{
    std::string_view inner;
    std::size_t after = 0;
    if (!data.empty() && data[0] == '"')
        return quoted(data, 0, inner, after) ? decodeWineRegistryString(inner) : std::string();
    for (std::string_view prefix : {std::string_view("str:"), std::string_view("str(2):")}) {
        if (data.substr(0, prefix.size()) == prefix)
            return quoted(data, prefix.size(), inner, after) ? decodeWineRegistryString(inner)
                                                             : std::string();
    }
    if (data.substr(0, 6) == "dword:")
        return std::to_string(std::strtoull(std::string(data.substr(6)).c_str(), nullptr, 16));
    if (data.substr(0, 7) == "hex(1):" || data.substr(0, 7) == "hex(2):")
        return utf16leText(hexBytes(data.substr(7)));
    if (data.substr(0, 7) == "hex(4):")
        return littleEndianNumber(hexBytes(data.substr(7)), 4);
    if (data.substr(0, 7) == "hex(b):")
        return littleEndianNumber(hexBytes(data.substr(7)), 8);
    return {};
}

// Backslashes between key names are written doubled in the file; after decoding they are single.
std::string decodedKeyName(std::string_view header, bool& ok)
{
    // header starts after '['; the name ends at the first unescaped ']'.
    for (std::size_t i = 0; i < header.size(); ++i) {
        if (header[i] == '\\') {
            ++i;
            continue;
        }
        if (header[i] == ']') {
            ok = true;
            return decodeWineRegistryString(header.substr(0, i));
        }
    }
    ok = false;
    return {};
}

std::string trimmedKey(std::string key)
{
    while (!key.empty() && key.front() == '\\')
        key.erase(key.begin());
    while (!key.empty() && key.back() == '\\')
        key.pop_back();
    return key;
}

} // namespace

std::filesystem::path winePrefix()
{
    const char* prefix = std::getenv("WINEPREFIX");
    if (prefix && *prefix)
        return pathFromUtf8(prefix);
    const char* home = std::getenv("HOME");
    if (home && *home)
        return pathFromUtf8(home) / ".wine";
    return {};
}

std::string decodeWineRegistryString(std::string_view s)
{
    std::string out;
    char32_t pendingHigh = 0;
    auto putUnit = [&](char32_t unit) {
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            pendingHigh = unit;
            return;
        }
        if (unit >= 0xDC00 && unit <= 0xDFFF && pendingHigh) {
            appendUtf8(out, 0x10000 + ((pendingHigh - 0xD800) << 10) + (unit - 0xDC00));
        } else {
            appendUtf8(out, unit);
        }
        pendingHigh = 0;
    };
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (c != '\\' || i + 1 == s.size()) {
            pendingHigh = 0;
            out += c;
            continue;
        }
        const char e = s[++i];
        if (e == 'x') {
            char32_t unit = 0;
            int digits = 0;
            while (digits < 4 && i + 1 < s.size() && hexDigit(s[i + 1]) >= 0) {
                unit = unit * 16 + static_cast<char32_t>(hexDigit(s[++i]));
                ++digits;
            }
            if (digits == 0) {
                out += 'x';
                continue;
            }
            putUnit(unit);
            continue;
        }
        if (e >= '0' && e <= '7') {
            char32_t unit = static_cast<char32_t>(e - '0');
            for (int k = 0; k < 2 && i + 1 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '7'; ++k)
                unit = unit * 8 + static_cast<char32_t>(s[++i] - '0');
            putUnit(unit);
            continue;
        }
        pendingHigh = 0;
        switch (e) {
        case 'a':
            out += '\a';
            break;
        case 'b':
            out += '\b';
            break;
        case 't':
            out += '\t';
            break;
        case 'n':
            out += '\n';
            break;
        case 'v':
            out += '\v';
            break;
        case 'f':
            out += '\f';
            break;
        case 'r':
            out += '\r';
            break;
        case 'e':
            out += '\x1b';
            break;
        default:
            out += e;
            break; // "\\", "\"", "\[", "\]"
        }
    }
    return out;
}

std::string readWineRegistryValue(const std::filesystem::path& regFile, const std::string& key,
                                  const std::string& value)
{
    std::ifstream in(regFile, std::ios::binary);
    if (!in)
        return {};
    const std::string wantedKey = trimmedKey(key);
    bool inKey = false;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        // Long hex values go on over several lines, each but the last ending in "\".
        while (!line.empty() && line.back() == '\\' && line.find("=hex") != std::string::npos) {
            std::string next;
            if (!std::getline(in, next))
                break;
            if (!next.empty() && next.back() == '\r')
                next.pop_back();
            line.pop_back();
            const auto start = next.find_first_not_of(" \t");
            line += start == std::string::npos ? std::string() : next.substr(start);
        }
        if (line.empty())
            continue;
        if (line[0] == '[') {
            bool ok = false;
            const std::string name = decodedKeyName(std::string_view(line).substr(1), ok);
            if (inKey) // a key's values end where the next key begins
                return {};
            inKey = ok && equalsIgnoringCase(trimmedKey(name), wantedKey);
            continue;
        }
        if (!inKey)
            continue;
        std::string name;
        std::size_t after = 0;
        std::string_view inner;
        if (line[0] == '@') {
            after = 1;
        } else if (quoted(line, 0, inner, after)) {
            name = decodeWineRegistryString(inner);
        } else {
            continue; // "#time=", "#class=", "#link" and the like
        }
        if (after >= line.size() || line[after] != '=')
            continue;
        if (equalsIgnoringCase(name, value))
            return valueText(std::string_view(line).substr(after + 1));
    }
    return {};
}

bool isDrivePath(std::string_view path)
{
    return path.size() >= 2 && path[1] == ':' &&
           ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) &&
           (path.size() == 2 || path[2] == '\\' || path[2] == '/');
}

std::filesystem::path unixPathInPrefix(const std::filesystem::path& prefix,
                                       const std::string& windowsPath)
{
    if (!isDrivePath(windowsPath))
        return {};
    const char letter = static_cast<char>(windowsPath[0] | 0x20);
    std::vector<std::string> parts;
    std::string part;
    auto flush = [&] {
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        part.clear();
    };
    for (std::size_t i = 2; i < windowsPath.size(); ++i) {
        const char c = windowsPath[i];
        if (c == '\\' || c == '/')
            flush();
        else
            part += c;
    }
    flush();

    std::filesystem::path current = prefix / "dosdevices" / std::string{letter, ':'};
    bool onDisk = true;
    for (const std::string& p : parts) {
        std::filesystem::path next = current / pathFromUtf8(p);
        std::error_code ec;
        if (onDisk && !std::filesystem::exists(std::filesystem::symlink_status(next, ec))) {
            // Windows finds "ZNGame" when the disk says "zngame": look for such a name.
            bool found = false;
            for (std::filesystem::directory_iterator it(current, ec), end; !ec && it != end;
                 it.increment(ec)) {
                if (equalsIgnoringCase(displayPath(it->path().filename()), p)) {
                    next = it->path();
                    found = true;
                    break;
                }
            }
            onDisk = found;
        }
        current = next;
    }
    return current;
}

} // namespace qdt
