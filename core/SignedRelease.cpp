// Signed releases: the rules a manifest must meet, and the serial kept between runs.
#include "core/SignedRelease.h"

#include <cstdio>
#include <cstring>

#include <nlohmann/json.hpp>

#include "core/CheckedFile.h"
#include "core/FileIo.h"

namespace qdt {

namespace {

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar, and back.
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d)
{
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2);
}

// The manifest's text as the program reads it: up to the first zero byte.
nlohmann::json parseObject(const unsigned char* data, std::size_t size)
{
    const char* begin = reinterpret_cast<const char*>(data);
    const void* zero = size ? std::memchr(begin, 0, size) : nullptr;
    const char* end = zero ? static_cast<const char*>(zero) : begin + size;
    nlohmann::json parsed = nlohmann::json::parse(begin, end, nullptr, false);
    return parsed.is_object() ? parsed : nlohmann::json::object();
}

} // namespace

std::string sha256Key(const std::string& suffix)
{
    return "sha256" + suffix;
}

std::string formatUtc(std::int64_t seconds)
{
    std::int64_t days = seconds / 86400, rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    std::int64_t y = 0;
    unsigned m = 0, d = 0;
    civilFromDays(days, y, m, d);
    char text[40];
    std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02d:%02d:%02dZ", static_cast<long long>(y),
                  m, d, static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60),
                  static_cast<int>(rest % 60));
    return text;
}

std::optional<std::int64_t> parseUtc(const std::string& text)
{
    // YYYY-MM-DDTHH:MM:SSZ, nothing else.
    static const char shape[] = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != sizeof shape - 1)
        return std::nullopt;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (shape[i] == 'd' ? !digit : text[i] != shape[i])
            return std::nullopt;
    }
    auto number = [&](std::size_t at, std::size_t count) {
        int v = 0;
        for (std::size_t i = at; i < at + count; ++i)
            v = v * 10 + (text[i] - '0');
        return v;
    };
    const int year = number(0, 4), month = number(5, 2), day = number(8, 2);
    const int hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
    static const int monthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1 || day > monthDays[month - 1] || hour > 23 ||
        minute > 59 || second > 59)
        return std::nullopt;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (month == 2 && day == 29 && !leap)
        return std::nullopt;
    return daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
           hour * 3600 + minute * 60 + second;
}

namespace {

// The release number and expiry of signed bytes.
ReleaseCheck readReleaseFields(const unsigned char* manifest, std::size_t size,
                               std::uint64_t highestAccepted, std::int64_t now)
{
    ReleaseCheck check;
    const nlohmann::json doc = parseObject(manifest, size);
    const auto serial = doc.find(kSerialKey);
    if (serial == doc.end() || !serial->is_number_integer() ||
        (!serial->is_number_unsigned() && serial->get<std::int64_t>() < 0)) {
        check.fault = ReleaseCheck::Fault::NoSerial;
        check.detail = "it has no release number (\"serial\")";
        return check;
    }
    check.serial = serial->get<std::uint64_t>();
    const auto expires = doc.find(kExpiresKey);
    if (expires != doc.end()) {
        if (expires->is_string())
            check.expires = parseUtc(expires->get<std::string>());
        if (!check.expires) {
            check.fault = ReleaseCheck::Fault::BadExpiry;
            check.detail = "its expiry date (\"expires\") is not a UTC time such as "
                           "2027-01-10T12:00:00Z";
            return check;
        }
    }
    if (check.serial < highestAccepted) {
        check.fault = ReleaseCheck::Fault::Replayed;
        check.detail = "it is an older release (number " + std::to_string(check.serial) +
                       ") than one this program has already used (number " +
                       std::to_string(highestAccepted) + ")";
        return check;
    }
    if (check.expires && now >= *check.expires) {
        check.fault = ReleaseCheck::Fault::Expired;
        check.detail = "it expired on " + formatUtc(*check.expires);
        return check;
    }
    return check;
}

} // namespace

ReleaseCheck checkRelease(const unsigned char* manifest, std::size_t size,
                          const std::string& signature, const std::vector<PublicKey>& keys,
                          std::uint64_t highestAccepted, std::int64_t now)
{
    ReleaseCheck check;
    if (signature.find_first_not_of(" \t\r\n") == std::string::npos) {
        check.fault = ReleaseCheck::Fault::NoSignature;
        check.detail = "the server sent no signature for it";
        return check;
    }
    std::vector<unsigned char> raw;
    if (signature.size() > kMaxSignatureFileBytes || !base64Decode(signature, raw) ||
        raw.size() != kEd25519SignatureBytes) {
        check.fault = ReleaseCheck::Fault::BadSignature;
        check.detail = "its signature file is not a signature";
        return check;
    }
    bool verified = false;
    for (const PublicKey& key : keys)
        verified = verified || verifySignature(key, manifest, size, raw.data(), raw.size());
    if (!verified) {
        check.fault = ReleaseCheck::Fault::NotSigned;
        check.detail = "it is not signed by the translators' key (it was changed, or someone "
                       "else signed it)";
        return check;
    }
    // Only signed bytes are read any further.
    return readReleaseFields(manifest, size, highestAccepted, now);
}

std::uint64_t readAcceptedSerial(const std::filesystem::path& file)
{
    const auto bytes = readSmallRegularFile(file, 64);
    if (!bytes)
        return 0;
    const std::string text(bytes.value.begin(), bytes.value.end());
    std::uint64_t value = 0;
    std::size_t digits = 0;
    for (char c : text) {
        if (c == '\n' && digits > 0)
            break;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (c < '0' || c > '9' || value > (UINT64_MAX - digit) / 10)
            return 0;
        value = value * 10 + digit;
        ++digits;
    }
    return value;
}

Status writeAcceptedSerial(const std::filesystem::path& file, std::uint64_t serial)
{
    const std::string text = std::to_string(serial) + "\n";
    // A folder or anything else under the name would refuse the rename; it is moved aside.
    if (entryAt(file).kind == EntryKind::Folder)
        setAside(file);
    return writeFileAtomically(file, text.data(), text.size());
}

} // namespace qdt
