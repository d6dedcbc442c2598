#include "tools/Publishing.h"

#include <chrono>
#include <cinttypes>
#include <cstring>
#include <filesystem>
#include <limits>
#include <optional>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/AddressRule.h"
#include "core/CheckedFile.h"
#include "core/FileIo.h"
#include "core/LanguageTable.h"
#include "core/ReleaseCrypto.h"
#include "core/SignedRelease.h"
#include "core/Xxh64.h"
#include "patching/PatchEngine.h"
#include "patching/PatchFormat.h"
#include "patching/PatchMaker.h"

namespace fs = std::filesystem;

namespace tool {

using qdt::Result;

namespace {

using Language = qdt::LanguageEntry;
const auto& kLanguages = qdt::kLanguageTable;
using qdt::kMaxManifestBytes;

std::string hex64(std::uint64_t v)
{
    char s[17];
    std::snprintf(s, sizeof s, "%016" PRIx64, v);
    return s;
}

// This patcher's version as the manifest stores it.
constexpr std::int32_t kOurVersion = (QDT_VERSION_MAJOR << 16) + QDT_VERSION_MINOR;

std::string versionText(std::int32_t version)
{
    const auto v = static_cast<std::uint32_t>(version);
    return std::to_string(v >> 16) + "." + std::to_string(v & 0xffff);
}

bool isDigits(const std::string& s)
{
    return !s.empty() && s.size() <= 9 && s.find_first_not_of("0123456789") == std::string::npos;
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

std::string lower(std::string s)
{
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// The archive read front to back for the check of a patch; nothing is written.
class FileInput : public qdt::ByteInput
{
public:
    explicit FileInput(std::FILE* f) : f_(f) {}
    bool read(unsigned char* buffer, std::size_t size) override
    {
        return std::fread(buffer, 1, size, f_) == size;
    }

private:
    std::FILE* f_;
};

class DiscardOutput : public qdt::ByteOutput
{
public:
    bool write(const unsigned char*, std::size_t) override { return true; }
};

// Whether Windows opens a device instead of a file under `name`: CON, PRN, AUX, NUL, CONIN$,
// CONOUT$, COM0-COM9 and LPT0-LPT9 (also with a superscript 1, 2 or 3), in any case, alone or
// before an extension, blanks before the extension included.
bool windowsDeviceName(const std::string& name)
{
    std::string stem = lower(name.substr(0, name.find('.')));
    while (!stem.empty() && stem.back() == ' ')
        stem.pop_back();
    for (const char* device : {"con", "prn", "aux", "nul", "conin$", "conout$"})
        if (stem == device)
            return true;
    if (stem.compare(0, 3, "com") != 0 && stem.compare(0, 3, "lpt") != 0)
        return false;
    const std::string number = stem.substr(3);
    return (number.size() == 1 && number[0] >= '0' && number[0] <= '9') || number == "\xC2\xB9" ||
           number == "\xC2\xB2" || number == "\xC2\xB3";
}

std::int64_t secondsNow()
{
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// A key file is small; anything else under its name is refused unread.
constexpr std::size_t kMaxKeyFileBytes = 16 * 1024;

Result<qdt::SecretKey> loadSecretKey(const fs::path& file)
{
    const auto bytes = qdt::readSmallRegularFile(file, kMaxKeyFileBytes);
    if (!bytes)
        return Result<qdt::SecretKey>::failure(bytes.status.kind, "Can't read the key " +
                                                                      qdt::displayPath(file) +
                                                                      ": " + bytes.status.detail);
    auto key = qdt::SecretKey::fromPem(std::string(bytes.value.begin(), bytes.value.end()));
    if (!key)
        return Result<qdt::SecretKey>::failure(
            key.status.kind, qdt::displayPath(file) + " is no secret key: " + key.status.detail +
                                 " (make one with quen-dara-patch keygen)");
    return key;
}

Result<qdt::PublicKey> loadPublicKey(const fs::path& file)
{
    const auto bytes = qdt::readSmallRegularFile(file, kMaxKeyFileBytes);
    if (!bytes)
        return Result<qdt::PublicKey>::failure(bytes.status.kind, "Can't read the key " +
                                                                      qdt::displayPath(file) +
                                                                      ": " + bytes.status.detail);
    qdt::PublicKey key{};
    std::string why;
    if (!qdt::parsePublicKey(std::string(bytes.value.begin(), bytes.value.end()), key, why))
        return Result<qdt::PublicKey>::failure(
            qdt::ErrorKind::Malformed,
            qdt::displayPath(file) + " is no public key (the .pub file keygen writes): " + why);
    return Result<qdt::PublicKey>::success(key);
}

fs::path withSuffix(const fs::path& path, const char* suffix)
{
    fs::path out = path;
    out += qdt::pathFromUtf8(suffix);
    return out;
}

} // namespace

std::string fileNameOfAddress(const std::string& url, std::string& why)
{
    std::string path = url.substr(0, url.find_first_of("?#"));
    const auto colon = path.find("://");
    const auto slash = path.find('/', colon == std::string::npos ? 0 : colon + 3);
    path = slash == std::string::npos ? "" : path.substr(slash);
    const std::string last = path.substr(path.rfind('/') + 1);
    std::string name;
    for (std::size_t i = 0; i < last.size(); ++i) {
        if (last[i] == '%' && i + 2 < last.size() && hexDigit(last[i + 1]) >= 0 &&
            hexDigit(last[i + 2]) >= 0) {
            name += static_cast<char>(hexDigit(last[i + 1]) * 16 + hexDigit(last[i + 2]));
            i += 2;
        } else {
            name += last[i];
        }
    }
    if (name.empty()) {
        why = "the address ends without a file name";
        return {};
    }
    if (name == "." || name == "..") {
        why = "the address's file name is \"" + name + "\"";
        return {};
    }
    for (unsigned char c : name) {
        if (c == '/' || c == '\\' || c < 0x20 || c == 0x7f || c == ':') {
            why = "the address's file name \"" + last +
                  "\" holds a path separator, a drive colon or a control character";
            return {};
        }
        if (std::strchr("<>\"|*?", c)) {
            why = "the address's file name \"" + last + "\" holds \"" + std::string(1, c) +
                  "\", which Windows refuses in file names";
            return {};
        }
    }
    // Windows drops trailing dots and blanks from a name, so the file checked would be another.
    if (name.back() == '.' || name.back() == ' ') {
        why = "the address's file name \"" + last + "\" ends in a dot or a blank";
        return {};
    }
    if (windowsDeviceName(name)) {
        why = "the address's file name \"" + last +
              "\" is a name Windows keeps for a device, so no release folder can hold it";
        return {};
    }
    return name;
}

bool parseVersion(const std::string& text, std::int32_t& version, std::string& why)
{
    const auto dot = text.find('.');
    std::uint64_t value = 0;
    if (dot == std::string::npos) {
        if (text.empty() || text.size() > 10 ||
            text.find_first_not_of("0123456789") != std::string::npos) {
            why = "\"" + text + "\" is neither MAJOR.MINOR (such as 0.4) nor a whole number";
            return false;
        }
        value = std::stoull(text);
        if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
            why = text + " is larger than a manifest version can be";
            return false;
        }
    } else {
        const std::string major = text.substr(0, dot), minor = text.substr(dot + 1);
        if (!isDigits(major) || !isDigits(minor)) {
            why = "\"" + text + "\" is neither MAJOR.MINOR (such as 0.4) nor a whole number";
            return false;
        }
        const auto ma = std::stoull(major), mi = std::stoull(minor);
        if (ma > 32767 || mi > 255) {
            why = "the patcher shows versions up to 32767.255, not " + text;
            return false;
        }
        value = (ma << 16) + mi;
    }
    if (value == 0) {
        why = "version 0 reads as no manifest at all (\"Can't connect to server.\")";
        return false;
    }
    version = static_cast<std::int32_t>(value);
    return true;
}

// keygen -o KEY
int keygenCommand(const Args& args)
{
    std::optional<std::size_t> output;
    for (std::size_t i = 1; i < args.texts.size(); ++i) {
        const std::string& a = args.texts[i];
        if (a != "-o" && a != "--output")
            return usageError("unexpected argument " + a);
        if (i + 1 >= args.texts.size())
            return usageError(a + " needs a value");
        output = ++i;
    }
    if (!output)
        return usageError("keygen needs -o KEY");
    const fs::path secretFile = args.paths[*output];
    const fs::path publicFile = withSuffix(secretFile, ".pub");
    // A key in use must never be lost to a slip of the keyboard: nothing is written over.
    for (const fs::path& file : {secretFile, publicFile})
        if (qdt::entryAt(file).kind != qdt::EntryKind::Missing)
            return refuse(qdt::displayPath(file) +
                          " exists; a key is never written over (move it away first)");
    auto key = qdt::SecretKey::generate();
    if (!key)
        return refuse(key.status.detail);
    const std::string pem = key.value.pem();
    const qdt::PublicKey publicKey = key.value.publicKey();
    const std::string publicText = qdt::base64Encode(publicKey.data(), publicKey.size());
    auto secret = qdt::NewFile::create(secretFile, true);
    if (!secret)
        return refuse("Can't make " + qdt::displayPath(secretFile) + ": " + secret.status.detail);
    const bool wrote = secret.value.append(pem.data(), pem.size());
    secret.value.close();
    if (!wrote) {
        std::error_code ec;
        fs::remove(secretFile, ec);
        return refuse("Can't write " + qdt::displayPath(secretFile));
    }
    auto pub = qdt::NewFile::create(publicFile);
    const std::string publicLine = publicText + "\n";
    if (!pub || !pub.value.append(publicLine.data(), publicLine.size()))
        return refuse("Can't write " + qdt::displayPath(publicFile) + "; the secret key is in " +
                      qdt::displayPath(secretFile));
    pub.value.close();
    std::fprintf(stderr,
                 "quen-dara-patch: the secret key is in %s: keep it safe and never upload it; "
                 "the public key is in %s\n",
                 qdt::displayPath(secretFile).c_str(), qdt::displayPath(publicFile).c_str());
    std::printf("%s\n", publicText.c_str());
    return 0;
}

// make ORIGINAL TRANSLATED -o PATCH [--header-word HEX]
int makeCommand(const Args& args)
{
    std::vector<std::size_t> positional;
    std::optional<std::size_t> output;
    std::uint32_t word = 0;
    for (std::size_t i = 1; i < args.texts.size(); ++i) {
        const std::string& a = args.texts[i];
        if (a == "-o" || a == "--output" || a == "--header-word") {
            if (i + 1 >= args.texts.size())
                return usageError(a + " needs a value");
            ++i;
            if (a == "--header-word") {
                std::string hex = args.texts[i];
                if (hex.size() > 2 && hex[0] == '0' && (hex[1] == 'x' || hex[1] == 'X'))
                    hex = hex.substr(2);
                if (hex.empty() || hex.size() > 8 ||
                    hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                    return usageError("--header-word takes up to 8 hexadecimal digits, not \"" +
                                      args.texts[i] + "\"");
                word = static_cast<std::uint32_t>(std::stoul(hex, nullptr, 16));
            } else {
                output = i;
            }
        } else if (a.size() > 1 && a[0] == '-') {
            return usageError("unknown option " + a);
        } else {
            positional.push_back(i);
        }
    }
    if (positional.size() != 2 || !output)
        return usageError("make needs ORIGINAL, TRANSLATED and -o PATCH");

    qdt::MakeRequest request;
    request.original = args.paths[positional[0]];
    request.translated = args.paths[positional[1]];
    request.output = args.paths[*output];
    for (int i = 0; i < 4; ++i)
        request.headerWord[i] = static_cast<unsigned char>(word >> (8 * i));
    ProgressBar bar(stderrIsTerminal());
    request.progress = bar.callback();
    const auto made = qdt::makePatchFile(request);
    bar.finish();
    if (!made)
        return refuse(made.status.detail);
    const auto& m = made.value;
    std::printf("%s: %" PRIu64 " bytes, %" PRIu64 " records (%" PRIu64 " bytes replaced by %" PRIu64
                ")\n",
                qdt::displayPath(request.output).c_str(), m.patchSize, m.recordCount,
                m.bytesReplaced, m.bytesInserted);
    std::printf("source hash: %s\nresult hash: %s\n", hex64(m.sourceHash).c_str(),
                hex64(m.resultHash).c_str());
    return 0;
}

// manifest --version N --language KEY=URL,FILE ... -o patch.json
int manifestCommand(const Args& args)
{
    struct Listed
    {
        const Language* language;
        std::string url;
        fs::path file;
        std::uint64_t hash = 0;
        std::string digest; // SHA-256, hex
    };
    std::vector<Listed> listed;
    std::optional<std::size_t> output;
    std::optional<std::int32_t> version;
    std::optional<std::size_t> signKey;
    std::optional<std::uint64_t> serial;
    std::optional<unsigned long> validDays;
    for (std::size_t i = 1; i < args.texts.size(); ++i) {
        const std::string& a = args.texts[i];
        if (a != "-o" && a != "--output" && a != "--version" && a != "--language" &&
            a != "--sign" && a != "--serial" && a != "--valid-days")
            return usageError("unexpected argument " + a);
        if (i + 1 >= args.texts.size())
            return usageError(a + " needs a value");
        const std::string& value = args.texts[++i];
        if (a == "--sign") {
            signKey = i;
        } else if (a == "--serial") {
            // At most 2^63 - 1, so that every JSON reader takes it as a whole number.
            if (value.empty() || value.size() > 18 ||
                value.find_first_not_of("0123456789") != std::string::npos)
                return usageError("--serial takes a whole number of up to 18 digits, not \"" +
                                  value + "\"");
            serial = std::stoull(value);
        } else if (a == "--valid-days") {
            if (!isDigits(value) || std::stoul(value) < 1 || std::stoul(value) > 36500)
                return usageError("--valid-days takes a number of days from 1 to 36500, not \"" +
                                  value + "\"");
            validDays = std::stoul(value);
        } else if (a == "--version") {
            std::int32_t v = 0;
            std::string why;
            if (!parseVersion(value, v, why))
                return usageError("--version: " + why);
            version = v;
        } else if (a == "--language") {
            const auto eq = value.find('=');
            const auto comma = value.find(',', eq == std::string::npos ? 0 : eq);
            if (eq == std::string::npos || comma == std::string::npos)
                return usageError("--language takes KEY=URL,FILE, not \"" + value + "\"");
            const std::string key = lower(value.substr(0, eq));
            const Language* language = nullptr;
            for (const auto& l : kLanguages)
                if (key == l.option)
                    language = &l;
            if (!language)
                return usageError("unknown language \"" + value.substr(0, eq) +
                                  "\" (the languages are en, en_m and ru)");
            for (const auto& l : listed)
                if (l.language == language)
                    return usageError("language " + key + " is given twice");
            Listed entry;
            entry.language = language;
            entry.url = value.substr(eq + 1, comma - eq - 1);
            // The file part as the shell gave it, wide on Windows.
            const std::string fileText = value.substr(comma + 1);
            entry.file = qdt::pathFromUtf8(fileText);
            const auto fetchable = qdt::checkFetchableAddress(entry.url);
            if (!fetchable)
                return refuse(key + ": the patcher would not fetch \"" + entry.url +
                              "\": " + fetchable.status.detail);
            listed.push_back(std::move(entry));
        } else {
            output = i;
        }
    }
    if (!version || !output)
        return usageError("manifest needs --version and -o FILE");
    if ((serial || validDays) && !signKey)
        return usageError("--serial and --valid-days belong to a signed manifest (--sign KEY)");

    const fs::path target = args.paths[*output];
    const fs::path signatureFile = withSuffix(target, qdt::kSignatureSuffix);
    std::optional<qdt::SecretKey> key;
    if (signKey) {
        auto loaded = loadSecretKey(args.paths[*signKey]);
        if (!loaded)
            return refuse(loaded.status.detail);
        key = std::move(loaded.value);
        if (qdt::sameFile(target, args.paths[*signKey]) ||
            qdt::sameFile(signatureFile, args.paths[*signKey]))
            return refuse("the manifest or its signature would overwrite the key " +
                          qdt::displayPath(args.paths[*signKey]));
    }
    for (auto& l : listed) {
        const std::string key = l.language->option;
        const std::string fileName = qdt::displayPath(l.file);
        if (qdt::sameFile(target, l.file))
            return refuse("the manifest would overwrite " + fileName + ", the patch of " + key);
        auto data = qdt::readWholeFile(l.file, qdt::kMaxPatchSize);
        if (!data)
            return refuse(key + ": " + data.status.detail);
        auto checked = qdt::checkPatch(data.value.data(), data.value.size());
        if (!checked)
            return refuse(key + ": " + fileName + " is not a usable patch: " +
                          (checked.status.kind == qdt::ErrorKind::BadMagic
                               ? std::string("it does not start with \"PTCH\"")
                               : checked.status.detail));
        l.hash = qdt::xxh64(data.value.data(), data.value.size());
        l.digest = qdt::toHex(qdt::sha256(data.value.data(), data.value.size()));
        std::string why;
        const std::string served = fileNameOfAddress(l.url, why);
        if (served.empty())
            return refuse(key + ": \"" + l.url + "\": " + why);
        if (served != qdt::displayPath(l.file.filename()))
            std::fprintf(stderr,
                         "quen-dara-patch: note: %s is listed at an address whose file name is "
                         "%s: upload it under that name\n",
                         fileName.c_str(), served.c_str());
    }

    nlohmann::ordered_json doc;
    doc["version"] = *version;
    const std::int64_t now = secondsNow();
    if (key) {
        // By default every release is numbered after the last: its time in seconds.
        doc[qdt::kSerialKey] = serial ? *serial : static_cast<std::uint64_t>(now);
        if (validDays)
            doc[qdt::kExpiresKey] =
                qdt::formatUtc(now + static_cast<std::int64_t>(*validDays) * 86400);
    }
    for (const auto& language : kLanguages) {
        for (const auto& l : listed) {
            if (l.language != &language)
                continue;
            doc[std::string("filename") + language.suffix] = l.url;
            doc[std::string("xxhash") + language.suffix] = l.hash;
            if (key)
                doc[qdt::sha256Key(language.suffix)] = l.digest;
        }
    }
    const std::string text = doc.dump(4, ' ', false) + "\n";
    std::string signatureText;
    if (key) {
        const auto signature =
            key->sign(reinterpret_cast<const unsigned char*>(text.data()), text.size());
        if (!signature)
            return refuse(signature.status.detail);
        signatureText = qdt::base64Encode(signature.value.data(), signature.value.size()) + "\n";
    }
    const qdt::Status written = qdt::writeFileAtomically(target, text.data(), text.size());
    if (!written)
        return refuse("Can't write the manifest " + qdt::displayPath(target) + ": " +
                      written.detail);
    if (key) {
        const qdt::Status signed_ =
            qdt::writeFileAtomically(signatureFile, signatureText.data(), signatureText.size());
        if (!signed_)
            return refuse("Can't write the signature " + qdt::displayPath(signatureFile) + ": " +
                          signed_.detail + " (the manifest was written; sign it again)");
        std::printf(
            "%s: signed, release %s%s\n", qdt::displayPath(signatureFile).c_str(),
            std::to_string(doc[qdt::kSerialKey].get<std::uint64_t>()).c_str(),
            validDays ? (", valid until " + doc[qdt::kExpiresKey].get<std::string>()).c_str() : "");
    } else {
        // A signature left from an earlier release would no longer fit this manifest.
        std::error_code ec;
        if (fs::exists(signatureFile, ec))
            std::fprintf(stderr,
                         "quen-dara-patch: note: %s is from an earlier manifest and does not "
                         "sign this one: sign with --sign KEY or remove it\n",
                         qdt::displayPath(signatureFile).c_str());
    }
    if (*version != kOurVersion)
        std::fprintf(stderr,
                     "quen-dara-patch: note: patcher %d.%d asks its players to download version "
                     "%s when it reads this manifest\n",
                     QDT_VERSION_MAJOR, QDT_VERSION_MINOR, versionText(*version).c_str());
    std::printf("%s: version %s, %zu language%s\n", qdt::displayPath(target).c_str(),
                versionText(*version).c_str(), listed.size(), listed.size() == 1 ? "" : "s");
    return 0;
}

// verify patch.json --original ORIGINAL --files DIR
int verifyCommand(const Args& args)
{
    std::optional<std::size_t> manifestArg, originalArg, filesArg;
    std::vector<std::size_t> keyArgs;
    for (std::size_t i = 1; i < args.texts.size(); ++i) {
        const std::string& a = args.texts[i];
        if (a == "--original" || a == "--files" || a == "--key") {
            if (i + 1 >= args.texts.size())
                return usageError(a + " needs a value");
            if (a == "--key")
                keyArgs.push_back(++i);
            else
                (a == "--original" ? originalArg : filesArg) = ++i;
        } else if (a.size() > 1 && a[0] == '-') {
            return usageError("unknown option " + a);
        } else if (manifestArg) {
            return usageError("verify takes one manifest");
        } else {
            manifestArg = i;
        }
    }
    if (!manifestArg || !originalArg || !filesArg)
        return usageError("verify needs MANIFEST, --original ARCHIVE and --files FOLDER");
    const fs::path manifestPath = args.paths[*manifestArg];
    const fs::path original = args.paths[*originalArg];
    const fs::path folder = args.paths[*filesArg];
    const std::string manifestName = qdt::displayPath(manifestPath);

    // The manifest read as the patcher reads it.
    auto bytes = qdt::readWholeFile(manifestPath, kMaxManifestBytes);
    if (!bytes)
        return refuse(manifestName + ": " + bytes.status.detail);
    const char* begin = reinterpret_cast<const char*>(bytes.value.data());
    const char* end = static_cast<const char*>(std::memchr(begin, 0, bytes.value.size()));
    if (!end)
        end = begin + bytes.value.size();
    const nlohmann::json doc = nlohmann::json::parse(begin, end, nullptr, false);
    if (!doc.is_object())
        return refuse(manifestName + ": not a manifest the patcher can read (not one JSON object)");

    std::vector<qdt::PublicKey> keys;
    for (std::size_t k : keyArgs) {
        auto key = loadPublicKey(args.paths[k]);
        if (!key)
            return refuse(key.status.detail);
        keys.push_back(key.value);
    }

    bool fault = false;
    // A signed release: the signature over the exact bytes, then its number and expiry, as the
    // patcher built with these keys judges them.
    if (!keys.empty()) {
        const fs::path signatureFile = withSuffix(manifestPath, qdt::kSignatureSuffix);
        const auto signature =
            qdt::readSmallRegularFile(signatureFile, qdt::kMaxSignatureFileBytes);
        const qdt::ReleaseCheck check =
            signature
                ? qdt::checkRelease(bytes.value.data(), bytes.value.size(),
                                    std::string(signature.value.begin(), signature.value.end()),
                                    keys, 0, secondsNow())
                : qdt::ReleaseCheck{};
        using Fault = qdt::ReleaseCheck::Fault;
        if (!signature) {
            std::printf("signature: FAULT: %s: %s\n", qdt::displayPath(signatureFile).c_str(),
                        signature.status.detail.c_str());
            fault = true;
        } else if (check.fault == Fault::NoSignature || check.fault == Fault::BadSignature ||
                   check.fault == Fault::NotSigned) {
            std::printf("signature: FAULT: %s\n", check.detail.c_str());
            fault = true;
        } else {
            // Past the signature, the check has read the number and the expiry.
            std::printf("signature: ok\n");
            const qdt::ReleaseCheck& fields = check;
            if (fields.fault == Fault::NoSerial) {
                std::printf("serial: FAULT: %s\n", fields.detail.c_str());
                fault = true;
            } else {
                std::printf("serial: %s\n", std::to_string(fields.serial).c_str());
                if (fields.fault == Fault::BadExpiry || fields.fault == Fault::Expired) {
                    std::printf("expires: FAULT: %s\n", fields.detail.c_str());
                    fault = true;
                } else if (fields.expires) {
                    std::printf("expires: %s: ok\n", qdt::formatUtc(*fields.expires).c_str());
                } else {
                    std::printf("expires: never\n");
                }
            }
        }
    }
    std::int32_t version = 0;
    if (const auto it = doc.find("version"); it != doc.end() && it->is_number_integer())
        version = static_cast<std::int32_t>(static_cast<std::uint32_t>(
            it->is_number_unsigned() ? it->get<std::uint64_t>()
                                     : static_cast<std::uint64_t>(it->get<std::int64_t>())));
    if (version == 0) {
        std::printf("version: FAULT: no whole-number \"version\": the patcher says \"Can't "
                    "connect to server.\" and ends\n");
        fault = true;
    } else if (version != kOurVersion) {
        std::printf("version: %s: patcher %d.%d asks its players to download version %s\n",
                    versionText(version).c_str(), QDT_VERSION_MAJOR, QDT_VERSION_MINOR,
                    versionText(version).c_str());
    } else {
        std::printf("version: %s: ok\n", versionText(version).c_str());
    }

    std::uint64_t originalSize = 0;
    {
        std::error_code ec;
        if (!fs::is_regular_file(original, ec))
            return refuse(
                "The original archive " + qdt::displayPath(original) +
                (fs::exists(original, ec) ? " is not a regular file" : " does not exist"));
        originalSize = fs::file_size(original, ec);
    }
    const auto originalHash = qdt::hashFile(original);
    if (!originalHash)
        return refuse(originalHash.status.detail);

    for (const auto& language : kLanguages) {
        const std::string suffix = language.suffix;
        const std::string label = std::string(language.option) + " (" + language.shown + ")";
        auto faultLine = [&](const std::string& what) {
            std::printf("%s: FAULT: %s\n", label.c_str(), what.c_str());
            fault = true;
        };
        const auto address = doc.find("filename" + suffix);
        if (address == doc.end() || !address->is_string() || address->get<std::string>().empty()) {
            std::printf("%s: not listed\n", label.c_str());
            continue;
        }
        const std::string url = address->get<std::string>();
        const auto fetchable = qdt::checkFetchableAddress(url);
        if (!fetchable) {
            faultLine("the patcher would not fetch \"" + url + "\": " + fetchable.status.detail);
            continue;
        }
        const auto hashIt = doc.find("xxhash" + suffix);
        if (hashIt == doc.end() || !hashIt->is_number_integer()) {
            faultLine("\"xxhash" + suffix + "\" is missing or not a whole number");
            continue;
        }
        const std::uint64_t published =
            hashIt->is_number_unsigned() ? hashIt->get<std::uint64_t>()
                                         : static_cast<std::uint64_t>(hashIt->get<std::int64_t>());
        std::string why;
        const std::string name = fileNameOfAddress(url, why);
        if (name.empty()) {
            faultLine("\"" + url + "\": " + why);
            continue;
        }
        const fs::path file = folder / qdt::pathFromUtf8(name);
        std::error_code ec;
        if (!fs::exists(file, ec)) {
            faultLine(name + " is missing from " + qdt::displayPath(folder));
            continue;
        }
        auto data = qdt::readWholeFile(file, qdt::kMaxPatchSize);
        if (!data) {
            faultLine(data.status.detail);
            continue;
        }
        const std::uint64_t actual = qdt::xxh64(data.value.data(), data.value.size());
        if (actual != published) {
            faultLine(name + " has the hash " + std::to_string(actual) + ", the manifest lists " +
                      std::to_string(published) + " (the file or the manifest is not the latest)");
            continue;
        }
        // A signed release names every patch by its SHA-256 too; the patcher refuses a patch
        // without one, or with another.
        const auto digestIt = doc.find(qdt::sha256Key(suffix));
        if (digestIt != doc.end() || !keys.empty()) {
            qdt::Sha256Digest digest{};
            if (digestIt == doc.end() || !digestIt->is_string() ||
                !qdt::parseSha256Hex(digestIt->get<std::string>(), digest)) {
                faultLine("\"" + qdt::sha256Key(suffix) +
                          "\" is missing or not 64 hexadecimal digits");
                continue;
            }
            const qdt::Sha256Digest actualDigest =
                qdt::sha256(data.value.data(), data.value.size());
            if (actualDigest != digest) {
                faultLine(name + " has the SHA-256 " + qdt::toHex(actualDigest) +
                          ", the manifest lists " + qdt::toHex(digest));
                continue;
            }
        }
        const auto header = qdt::readPatchHeader(data.value.data(), data.value.size());
        if (!header && header.status.kind == qdt::ErrorKind::BadMagic) {
            faultLine(name + " is not a patch (it does not start with \"PTCH\")");
            continue;
        }
        if (header && header.value.sourceHash != originalHash.value) {
            faultLine(name + " was made for another original archive (source hash " +
                      hex64(header.value.sourceHash) + ", " +
                      qdt::displayPath(original.filename()) + " has " + hex64(originalHash.value) +
                      ")");
            continue;
        }
        // The header names this original: every record must fit it.
        auto checked = qdt::checkPatch(data.value.data(), data.value.size(),
                                       static_cast<std::int64_t>(originalSize));
        if (!checked) {
            faultLine(name + " is damaged: " + checked.status.detail);
            continue;
        }
        auto in = qdt::openFile(original, qdt::FileMode::Read);
        if (!in) {
            faultLine(in.status.detail);
            continue;
        }
        std::vector<char> buffer(1u << 20);
        std::setvbuf(in.value.get(), buffer.data(), _IOFBF, buffer.size());
        FileInput input(in.value.get());
        DiscardOutput discard;
        const auto streamed = qdt::streamPatch(data.value.data(), data.value.size(), checked.value,
                                               originalSize, input, discard);
        if (!streamed.status) {
            faultLine("applying " + name + " failed: " + streamed.status.detail);
            continue;
        }
        if (streamed.resultHash != checked.value.header.resultHash) {
            faultLine("applying " + name + " gives an archive with the hash " +
                      hex64(streamed.resultHash) + ", not the " +
                      hex64(checked.value.header.resultHash) + " it promises");
            continue;
        }
        std::printf("%s: ok: %s, %zu bytes, %" PRIu64 " records, result hash %s\n", label.c_str(),
                    name.c_str(), data.value.size(), checked.value.recordCount,
                    hex64(streamed.resultHash).c_str());
    }
    return fault ? 1 : 0;
}

} // namespace tool
