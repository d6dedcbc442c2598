// Signed releases: what makes a manifest one the translators published. The manifest's exact
// bytes carry an Ed25519 signature (in a file beside it, its name plus ".sig", as base64 text);
// the manifest names a release serial that never goes back, may name an expiry, and gives each
// patch's SHA-256. The program and the publisher's tool judge a release by these same rules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/ReleaseCrypto.h"

namespace qdt {

// The signature file is a base64 line; anything longer than this is not one.
constexpr std::size_t kMaxSignatureFileBytes = 1024;
constexpr const char* kSignatureSuffix = ".sig";
// The highest serial accepted so far, in the work directory.
constexpr const char* kAcceptedSerialFileName = "release.serial";

// The manifest keys of signed releases.
constexpr const char* kSerialKey = "serial";
constexpr const char* kExpiresKey = "expires";
// "sha256" followed by a language's key suffix ("_EN", "_EN_M", "_RU").
std::string sha256Key(const std::string& suffix);

struct ReleaseCheck
{
    enum class Fault
    {
        None,
        NoSignature,  // the signature file is empty or missing
        BadSignature, // it is no signature (not base64, not 64 bytes)
        NotSigned,    // no built-in key verifies it over these bytes
        NoSerial,     // signed, but without a whole-number serial
        Replayed,     // its serial is lower than one accepted before
        BadExpiry,    // "expires" is there but not a UTC time as we write it
        Expired,
    };
    Fault fault = Fault::None;
    std::string detail; // one sentence, for the player and the publisher
    std::uint64_t serial = 0;
    std::optional<std::int64_t> expires; // seconds since 1970, UTC
    bool ok() const { return fault == Fault::None; }
};

// Judges `manifest` (the exact bytes served) with the text of its signature file, against the
// trusted `keys`, the highest serial accepted before and the time `now` (seconds since 1970, UTC).
ReleaseCheck checkRelease(const unsigned char* manifest, std::size_t size,
                          const std::string& signature, const std::vector<PublicKey>& keys,
                          std::uint64_t highestAccepted, std::int64_t now);

// "2027-01-10T12:00:00Z" and back. Only that form is read: UTC, seconds, a "Z".
std::string formatUtc(std::int64_t seconds);
std::optional<std::int64_t> parseUtc(const std::string& text);

// The highest serial accepted so far (0 when none is kept, or what is kept is not ours: a link, a
// folder, a damaged file).
std::uint64_t readAcceptedSerial(const std::filesystem::path& file);
// Keeps `serial` as the highest accepted, atomically.
Status writeAcceptedSerial(const std::filesystem::path& file, std::uint64_t serial);

} // namespace qdt
