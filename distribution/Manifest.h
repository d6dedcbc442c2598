// The patch manifest: where it comes from and how its members are read.
#pragma once

#include <optional>
#include <vector>

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <nlohmann/json.hpp>

#include "app/Languages.h"
#include "core/LanguageTable.h"
#include "core/ReleaseCrypto.h"
#include "distribution/FileDownloader.h"

// The built-in manifest address, or QUEN_DARA_MANIFEST_URL when that is set (mirrors, tests).
QUrl manifestUrl();

// The hash the manifest publishes for a language ("xxhash" + suffix): any JSON number as an
// unsigned 64-bit value (floating point truncated), anything else 0. Never throws.
quint64 publishedHash(const nlohmann::json& manifest, Languages lang);

// The patch address the manifest gives for a language ("filename" + suffix) when it is a string,
// else the empty string. Never throws.
QString patchAddress(const nlohmann::json& manifest, Languages lang);

// A manifest larger than this is not a manifest; the download is cut off there.
constexpr qint64 kMaxManifestBytes = static_cast<qint64>(qdt::kMaxManifestBytes);

// The patch address for a language as a URL, but only when it passes the address rule the
// publisher's tool checks too (qdt::checkFetchableAddress: http or https, a well-formed host);
// any other address (file:, qrc:, ftp:, a broken host, or none) gives an empty URL and the
// language is not offered. Nor is it when release keys are in force and the manifest gives no
// SHA-256 for it: such a patch could not be checked.
QUrl patchUrl(const nlohmann::json& manifest, Languages lang);

// The SHA-256 the manifest publishes for a language ("sha256" + suffix, 64 hex digits), if any.
std::optional<qdt::Sha256Digest> publishedDigest(const nlohmann::json& manifest, Languages lang);

// Whether `bytes` are the patch the manifest publishes for `lang` by SHA-256. A manifest that
// names none passes only while no release keys are in force.
bool matchesPublishedDigest(const nlohmann::json& manifest, Languages lang,
                            const QByteArray& bytes);

// Where a manifest's signature is: the same address with ".sig" added to its path.
QUrl signatureUrl(const QUrl& manifestAddress);

// The manifest text as it arrives: it ends at the first zero byte; one JSON value and trailing
// whitespace only. An object is returned as it is; anything else gives an empty object. Never
// throws.
nlohmann::json parseManifest(const QByteArray& bytes);

// The "version" member when it is an integer, its low 32 bits as a signed value; otherwise 0.
qint32 manifestVersion(const nlohmann::json& manifest);

// This program's own version as the manifest writes versions: major * 65536 + minor.
quint32 ourManifestVersion();

// What the manifest's arrival means: the manifest to go on with and what the version gate says.
struct ManifestVerdict
{
    enum class Kind
    {
        Unreachable, // no manifest (no answer, an error, or no usable version in it)
        Current,     // the version this program is
        Outdated,    // another version: this program must be replaced
        Unverified,  // it arrived, but it is not a signed release this program may use
    };
    Kind kind = Kind::Unreachable;
    nlohmann::json manifest; // a failed download leaves an empty one
    qint32 version = 0;
    // The published version as the player is told it: the high 16 bits and the low byte.
    quint32 latestMajor = 0;
    quint32 latestMinor = 0;
    // What the server did when it refused the manifest (an HTTP error, the size bound, an address
    // that is not fetched), one sentence per line; empty when it did not refuse. For an
    // unverified manifest: why it is not a release this program may use.
    QString refusal;
    // A verified signed release: its serial, to keep as the highest accepted.
    std::optional<std::uint64_t> serial;
};

// Judges a finished manifest download against the version `ours`. A successful but empty answer
// keeps the manifest `before`.
ManifestVerdict judgeManifest(const DownloadResult& result, const nlohmann::json& before,
                              quint32 ours);

// Judges a manifest that arrived whole (`manifestBytes`) by its signature download, against the
// release keys, the highest serial accepted before and the time `now` (seconds since 1970, UTC).
// Unverified, with the reason, unless it is a signed release this program may use; then the
// verdict of judgeManifest on `manifestResult`, with the serial.
ManifestVerdict judgeSignedManifest(const DownloadResult& manifestResult,
                                    const DownloadResult& signature,
                                    const std::vector<qdt::PublicKey>& keys,
                                    std::uint64_t highestAccepted, std::int64_t now,
                                    const nlohmann::json& before, quint32 ours);
