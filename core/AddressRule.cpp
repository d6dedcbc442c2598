#include "core/AddressRule.h"

#include <cstdint>
#include <limits>
#include <string_view>

namespace qdt {

namespace {

// ---- text ---------------------------------------------------------------------------------------

// Strict UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
bool decodeUtf8(std::string_view text, std::u32string& out)
{
    out.clear();
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            out.push_back(lead);
            ++i;
            continue;
        }
        int more = 0;
        char32_t c = 0, least = 0;
        if ((lead & 0xE0) == 0xC0) {
            more = 1, c = lead & 0x1F, least = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            more = 2, c = lead & 0x0F, least = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            more = 3, c = lead & 0x07, least = 0x10000;
        } else {
            return false;
        }
        if (i + static_cast<std::size_t>(more) >= text.size())
            return false;
        for (int k = 1; k <= more; ++k) {
            const auto next = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
            if ((next & 0xC0) != 0x80)
                return false;
            c = (c << 6) | (next & 0x3F);
        }
        if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            return false;
        out.push_back(c);
        i += static_cast<std::size_t>(more) + 1;
    }
    return true;
}

std::string encodeUtf8(char32_t c)
{
    std::string s;
    if (c < 0x80) {
        s += static_cast<char>(c);
    } else if (c < 0x800) {
        s += static_cast<char>(0xC0 | (c >> 6));
        s += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        s += static_cast<char>(0xE0 | (c >> 12));
        s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        s += static_cast<char>(0xF0 | (c >> 18));
        s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (c & 0x3F));
    }
    return s;
}

// Characters no address may hold: controls, and blanks and format characters a reader can't see
// (an address copied with one of them looks right and leads nowhere).
bool unseen(char32_t c)
{
    return c <= 0x20 || (c >= 0x7F && c <= 0xA0) || c == 0xAD || c == 0x1680 || c == 0x180E ||
           (c >= 0x2000 && c <= 0x200F) || (c >= 0x2028 && c <= 0x202F) ||
           (c >= 0x205F && c <= 0x206F) || c == 0x3000 || c == 0xFEFF ||
           (c >= 0xFFF9 && c <= 0xFFFB);
}

bool isAsciiDigit(char32_t c)
{
    return c >= '0' && c <= '9';
}

bool isHexDigit(char32_t c)
{
    return isAsciiDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

char32_t asciiLower(char32_t c)
{
    return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
}

// ---- international letters --------------------------------------------------------------------

// The letters of international host names that every client turns into the same "xn--" label:
// each is its own normal form and has a single lower-case letter. Letters that the older and the
// newer rules for international names treat differently (ß, ς, ſ, İ), ligatures and other
// compatibility forms, combining marks and right-to-left scripts are not among them, so the
// host a player's program asks for is the host the publisher wrote.
enum class CaseRule
{
    Lower,     // lower case already, or no case
    Shift,     // upper case; the lower case is the letter plus `delta`
    EvenUpper, // pairs: an even letter is upper case, the next one its lower case
    OddUpper,  // pairs: an odd letter is upper case, the next one its lower case
};

struct LetterRange
{
    char32_t first, last;
    CaseRule rule;
    int delta;
};

constexpr LetterRange kLetters[] = {
    // Latin-1 and Latin Extended-A
    {0x00C0, 0x00D6, CaseRule::Shift, 0x20},
    {0x00D8, 0x00DE, CaseRule::Shift, 0x20},
    {0x00E0, 0x00F6, CaseRule::Lower, 0},
    {0x00F8, 0x00FF, CaseRule::Lower, 0},
    {0x0100, 0x012F, CaseRule::EvenUpper, 0},
    {0x0131, 0x0131, CaseRule::Lower, 0},
    {0x0134, 0x0137, CaseRule::EvenUpper, 0},
    {0x0138, 0x0138, CaseRule::Lower, 0},
    {0x0139, 0x013E, CaseRule::OddUpper, 0},
    {0x0141, 0x0148, CaseRule::OddUpper, 0},
    {0x014A, 0x0177, CaseRule::EvenUpper, 0},
    {0x0178, 0x0178, CaseRule::Shift, 0x00FF - 0x0178},
    {0x0179, 0x017E, CaseRule::OddUpper, 0},
    // Greek
    {0x0386, 0x0386, CaseRule::Shift, 0x03AC - 0x0386},
    {0x0388, 0x038A, CaseRule::Shift, 0x03AD - 0x0388},
    {0x038C, 0x038C, CaseRule::Shift, 0x03CC - 0x038C},
    {0x038E, 0x038F, CaseRule::Shift, 0x03CD - 0x038E},
    {0x0391, 0x03A1, CaseRule::Shift, 0x20},
    {0x03A3, 0x03AB, CaseRule::Shift, 0x20},
    {0x03AC, 0x03AF, CaseRule::Lower, 0},
    {0x03B1, 0x03C1, CaseRule::Lower, 0},
    {0x03C3, 0x03CE, CaseRule::Lower, 0},
    // Cyrillic
    {0x0400, 0x040F, CaseRule::Shift, 0x50},
    {0x0410, 0x042F, CaseRule::Shift, 0x20},
    {0x0430, 0x045F, CaseRule::Lower, 0},
    {0x0490, 0x04BF, CaseRule::EvenUpper, 0},
    // Japanese kana (with the prolonged sound mark), Chinese ideographs, Hangul syllables
    {0x3041, 0x3093, CaseRule::Lower, 0},
    {0x30A1, 0x30F6, CaseRule::Lower, 0},
    {0x30FC, 0x30FC, CaseRule::Lower, 0},
    {0x4E00, 0x9FA5, CaseRule::Lower, 0},
    {0xAC00, 0xD7A3, CaseRule::Lower, 0},
};

// The letter's lower case, or 0 when it is no letter of an international host name.
char32_t internationalLower(char32_t c)
{
    for (const LetterRange& r : kLetters) {
        if (c < r.first || c > r.last)
            continue;
        switch (r.rule) {
        case CaseRule::Lower:
            return c;
        case CaseRule::Shift:
            return static_cast<char32_t>(static_cast<int>(c) + r.delta);
        case CaseRule::EvenUpper:
            return c % 2 == 0 ? c + 1 : c;
        case CaseRule::OddUpper:
            return c % 2 == 1 ? c + 1 : c;
        }
    }
    return 0;
}

// ---- punycode (RFC 3492) ------------------------------------------------------------------------

constexpr std::uint32_t kBase = 36, kTMin = 1, kTMax = 26, kSkew = 38, kDamp = 700;
constexpr std::uint32_t kInitialBias = 72, kInitialN = 128;
constexpr std::uint32_t kMax = std::numeric_limits<std::uint32_t>::max();

std::uint32_t adapt(std::uint32_t delta, std::uint32_t points, bool first)
{
    delta = first ? delta / kDamp : delta / 2;
    delta += delta / points;
    std::uint32_t k = 0;
    while (delta > ((kBase - kTMin) * kTMax) / 2) {
        delta /= kBase - kTMin;
        k += kBase;
    }
    return k + (kBase - kTMin + 1) * delta / (delta + kSkew);
}

std::uint32_t threshold(std::uint32_t k, std::uint32_t bias)
{
    return k <= bias ? kTMin : k >= bias + kTMax ? kTMax : k - bias;
}

char digitChar(std::uint32_t d)
{
    return static_cast<char>(d < 26 ? 'a' + d : '0' + (d - 26));
}

bool punycodeEncode(const std::u32string& in, std::string& out)
{
    out.clear();
    for (char32_t c : in)
        if (c < 0x80)
            out += static_cast<char>(c);
    const auto basic = static_cast<std::uint32_t>(out.size());
    std::uint32_t handled = basic;
    if (basic > 0)
        out += '-';
    std::uint32_t n = kInitialN, delta = 0, bias = kInitialBias;
    while (handled < in.size()) {
        std::uint32_t m = kMax;
        for (char32_t c : in)
            if (c >= n && c < m)
                m = c;
        if (m - n > (kMax - delta) / (handled + 1))
            return false;
        delta += (m - n) * (handled + 1);
        n = m;
        for (char32_t c : in) {
            if (c < n && ++delta == 0)
                return false;
            if (c != n)
                continue;
            std::uint32_t q = delta;
            for (std::uint32_t k = kBase;; k += kBase) {
                const std::uint32_t t = threshold(k, bias);
                if (q < t)
                    break;
                out += digitChar(t + (q - t) % (kBase - t));
                q = (q - t) / (kBase - t);
            }
            out += digitChar(q);
            bias = adapt(delta, handled + 1, handled == basic);
            delta = 0;
            ++handled;
        }
        ++delta;
        ++n;
    }
    return true;
}

bool punycodeDecode(const std::string& in, std::u32string& out)
{
    out.clear();
    const auto dash = in.rfind('-');
    const std::size_t basic = dash == std::string::npos ? 0 : dash;
    for (std::size_t j = 0; j < basic; ++j)
        out.push_back(static_cast<unsigned char>(in[j]));
    std::uint32_t n = kInitialN, i = 0, bias = kInitialBias;
    for (std::size_t pos = basic > 0 ? basic + 1 : 0; pos < in.size();) {
        const std::uint32_t oldI = i;
        std::uint32_t w = 1;
        for (std::uint32_t k = kBase;; k += kBase) {
            if (pos >= in.size())
                return false;
            const char ch = in[pos++];
            std::uint32_t digit;
            if (ch >= 'a' && ch <= 'z')
                digit = static_cast<std::uint32_t>(ch - 'a');
            else if (ch >= '0' && ch <= '9')
                digit = static_cast<std::uint32_t>(ch - '0') + 26;
            else
                return false;
            if (digit > (kMax - i) / w)
                return false;
            i += digit * w;
            const std::uint32_t t = threshold(k, bias);
            if (digit < t)
                break;
            if (w > kMax / (kBase - t))
                return false;
            w *= kBase - t;
        }
        const auto points = static_cast<std::uint32_t>(out.size() + 1);
        bias = adapt(i - oldI, points, oldI == 0);
        if (i / points > kMax - n)
            return false;
        n += i / points;
        i %= points;
        if (n < 0x80 || n > 0x10FFFF || (n >= 0xD800 && n <= 0xDFFF))
            return false;
        out.insert(out.begin() + i, n);
        ++i;
    }
    return true;
}

// ---- hosts --------------------------------------------------------------------------------------

bool isLdh(char32_t c)
{
    c = asciiLower(c);
    return (c >= 'a' && c <= 'z') || isAsciiDigit(c) || c == '-';
}

// A dotted quad of decimal numbers up to 255, without leading zeros (which some clients read as
// octal).
bool isIpv4(std::string_view s)
{
    int parts = 0;
    std::size_t at = 0;
    while (true) {
        const std::size_t dot = s.find('.', at);
        const std::string_view part =
            s.substr(at, dot == std::string_view::npos ? s.npos : dot - at);
        if (part.empty() || part.size() > 3 || (part.size() > 1 && part[0] == '0'))
            return false;
        int value = 0;
        for (char c : part) {
            if (!isAsciiDigit(static_cast<unsigned char>(c)))
                return false;
            value = value * 10 + (c - '0');
        }
        if (value > 255)
            return false;
        ++parts;
        if (dot == std::string_view::npos)
            break;
        at = dot + 1;
    }
    return parts == 4;
}

// Colon-separated groups of one to four hexadecimal digits; the last may be a dotted quad when
// `tailMayBeIpv4`. Counts the 16-bit pieces.
bool ipv6Groups(std::string_view s, bool tailMayBeIpv4, int& pieces)
{
    pieces = 0;
    if (s.empty())
        return true;
    std::size_t at = 0;
    while (true) {
        const std::size_t colon = s.find(':', at);
        const std::string_view group =
            s.substr(at, colon == std::string_view::npos ? s.npos : colon - at);
        if (colon == std::string_view::npos && tailMayBeIpv4 &&
            group.find('.') != std::string_view::npos) {
            if (!isIpv4(group))
                return false;
            pieces += 2;
            return true;
        }
        if (group.empty() || group.size() > 4)
            return false;
        for (char c : group)
            if (!isHexDigit(static_cast<unsigned char>(c)))
                return false;
        ++pieces;
        if (colon == std::string_view::npos)
            return true;
        at = colon + 1;
    }
}

bool isIpv6(std::string_view s)
{
    const std::size_t gap = s.find("::");
    int head = 0, tail = 0;
    if (gap == std::string_view::npos)
        return ipv6Groups(s, true, head) && head == 8;
    if (s.find("::", gap + 1) != std::string_view::npos)
        return false;
    return ipv6Groups(s.substr(0, gap), false, head) && ipv6Groups(s.substr(gap + 2), true, tail) &&
           head + tail <= 7;
}

// One label of a host name in its ASCII form, or false with `why`.
bool asciiLabel(const std::u32string& label, const std::string& host, std::string& ascii,
                std::string& why)
{
    const std::string named = "its host \"" + host + "\"";
    if (label.empty()) {
        why = named + " has an empty label (two dots in a row, or a dot at an end)";
        return false;
    }
    if (label.front() == '-' || label.back() == '-') {
        why = "a label of " + named + " starts or ends with a hyphen";
        return false;
    }
    std::u32string lower;
    bool international = false;
    for (char32_t c : label) {
        if (c < 0x80) {
            if (!isLdh(c)) {
                why = named + " holds \"" + encodeUtf8(c) + "\", which no host name may hold";
                return false;
            }
            lower.push_back(asciiLower(c));
            continue;
        }
        const char32_t l = internationalLower(c);
        if (l == 0) {
            why = named + " holds \"" + encodeUtf8(c) +
                  "\", which is no letter of the international names the patcher fetches";
            return false;
        }
        international = true;
        lower.push_back(l);
    }
    const bool acePrefix = lower.size() >= 4 && lower[0] == 'x' && lower[1] == 'n' &&
                           lower[2] == '-' && lower[3] == '-';
    if (international) {
        if (acePrefix) {
            why = "a label of " + named + " starts with \"xn--\" and holds other letters";
            return false;
        }
        std::string encoded;
        if (!punycodeEncode(lower, encoded)) {
            why = named + " can't be written in ASCII";
            return false;
        }
        ascii = "xn--" + encoded;
    } else {
        ascii.assign(lower.begin(), lower.end());
        if (acePrefix) {
            // An international label already in its ASCII form: it must stand for letters the
            // patcher fetches, written as every client writes them.
            std::u32string decoded;
            std::string again;
            bool fits = punycodeDecode(ascii.substr(4), decoded) && !decoded.empty() &&
                        decoded.front() != '-' && decoded.back() != '-';
            bool anyInternational = false;
            for (char32_t c : decoded) {
                if (c < 0x80) {
                    fits = fits && isLdh(c) && asciiLower(c) == c;
                } else {
                    anyInternational = true;
                    fits = fits && internationalLower(c) == c;
                }
            }
            if (!fits || !anyInternational || !punycodeEncode(decoded, again) ||
                "xn--" + again != ascii) {
                why = "the label \"" + ascii + "\" of " + named +
                      " is no international name the patcher fetches";
                return false;
            }
        }
    }
    if (ascii.size() > 63) {
        why = "a label of " + named + " is longer than 63 characters" +
              (international ? " in its ASCII form (" + ascii + ")" : std::string());
        return false;
    }
    return true;
}

bool checkHost(const std::string& host, std::string& ascii, std::string& why)
{
    const std::string named = "its host \"" + host + "\"";
    if (host.find_first_not_of("0123456789.") == std::string::npos) {
        if (!isIpv4(host)) {
            why = named + " is no IPv4 address (four numbers up to 255, without leading zeros)";
            return false;
        }
        ascii = host;
        return true;
    }
    std::u32string text;
    decodeUtf8(host, text);
    ascii.clear();
    std::size_t at = 0;
    std::string lastLabel;
    while (true) {
        const std::size_t dot = text.find(U'.', at);
        const std::u32string label =
            text.substr(at, dot == std::u32string::npos ? std::u32string::npos : dot - at);
        if (!asciiLabel(label, host, lastLabel, why))
            return false;
        ascii += lastLabel;
        if (dot == std::u32string::npos)
            break;
        ascii += '.';
        at = dot + 1;
    }
    // A name whose last label is a number is read as an IPv4 address by some clients and as a
    // name by others.
    if (lastLabel.find_first_not_of("0123456789") == std::string::npos) {
        why = named + " ends in a number but is no IPv4 address";
        return false;
    }
    if (ascii.size() > 253) {
        why = named + " is longer than 253 characters";
        return false;
    }
    return true;
}

} // namespace

Result<FetchableAddress> checkFetchableAddress(const std::string& address)
{
    using R = Result<FetchableAddress>;
    std::u32string text;
    if (!decodeUtf8(address, text))
        return R::failure(ErrorKind::Unsupported, "it is not UTF-8 text");
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char32_t c = text[i];
        if (unseen(c) || c == '\\')
            return R::failure(ErrorKind::Unsupported,
                              "it holds a blank, a control character or a backslash (write a "
                              "blank as %20)");
        if (c == '%' &&
            !(i + 2 < text.size() && isHexDigit(text[i + 1]) && isHexDigit(text[i + 2])))
            return R::failure(ErrorKind::Unsupported,
                              "a \"%\" in it does not start two hexadecimal digits (write a "
                              "percent sign as %25)");
    }

    FetchableAddress result;
    const std::size_t colon = address.find("://");
    std::string scheme = address.substr(0, colon == std::string::npos ? 0 : colon);
    for (char& c : scheme)
        c = static_cast<char>(asciiLower(static_cast<unsigned char>(c)));
    if (colon == std::string::npos || (scheme != "http" && scheme != "https"))
        return R::failure(ErrorKind::Unsupported,
                          "only http:// and https:// addresses are fetched");
    result.secure = scheme == "https";

    const std::size_t start = colon + 3;
    const std::size_t end = address.find_first_of("/?#", start);
    std::string authority =
        address.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (authority.find('@') != std::string::npos)
        return R::failure(ErrorKind::Unsupported,
                          "it holds a user name or password before its host");
    std::string host, port;
    bool hasPort = false;
    if (!authority.empty() && authority[0] == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string::npos || !isIpv6(authority.substr(1, close - 1)))
            return R::failure(ErrorKind::Unsupported,
                              "its host \"" +
                                  authority.substr(0, close == std::string::npos ? std::string::npos
                                                                                 : close + 1) +
                                  "\" is no IPv6 address");
        host = authority.substr(1, close - 1);
        for (char& c : host)
            c = static_cast<char>(asciiLower(static_cast<unsigned char>(c)));
        const std::string rest = authority.substr(close + 1);
        if (!rest.empty() && rest[0] != ':')
            return R::failure(ErrorKind::Unsupported,
                              "its host \"" + authority + "\" is no IPv6 address");
        hasPort = !rest.empty();
        port = hasPort ? rest.substr(1) : std::string();
    } else {
        const std::size_t portColon = authority.find(':');
        hasPort = portColon != std::string::npos;
        port = hasPort ? authority.substr(portColon + 1) : std::string();
        const std::string name = authority.substr(0, portColon);
        if (name.empty())
            return R::failure(ErrorKind::Unsupported, "it names no host");
        std::string why;
        if (!checkHost(name, host, why))
            return R::failure(ErrorKind::Unsupported, why);
    }
    if (hasPort) {
        int value = 0;
        bool digits = !port.empty() && port.size() <= 5;
        for (char c : port) {
            digits = digits && isAsciiDigit(static_cast<unsigned char>(c));
            value = digits ? value * 10 + (c - '0') : value;
        }
        if (!digits || value < 1 || value > 65535)
            return R::failure(ErrorKind::Unsupported, "its port is not a number from 1 to 65535");
        result.port = value;
    }
    result.host = host;
    return R::success(std::move(result));
}

} // namespace qdt
