// The patch manifest: where it comes from, how it is read and what its version means.
#include "distribution/Manifest.h"

#include <QCoreApplication>

#include "app/Constants.h"
#include "core/AddressRule.h"
#include "core/SignedRelease.h"
#include "distribution/ReleaseKeys.h"

QUrl manifestUrl()
{
    const QByteArray overridden = qgetenv("QUEN_DARA_MANIFEST_URL");
    const QString address =
        overridden.isEmpty() ? QStringLiteral(QDT_MANIFEST_URL) : QString::fromUtf8(overridden);
    return QUrl(address, QUrl::TolerantMode);
}

namespace {

const nlohmann::json* member(const nlohmann::json& manifest, const QString& key)
{
    if (!manifest.is_object())
        return nullptr;
    const auto it = manifest.find(key.toStdString());
    return it == manifest.end() ? nullptr : &*it;
}

} // namespace

quint64 publishedHash(const nlohmann::json& manifest, Languages lang)
{
    const nlohmann::json* value =
        member(manifest, QStringLiteral("xxhash") + languageKeySuffix(lang));
    if (!value)
        return 0;
    if (value->is_number_unsigned())
        return value->get<std::uint64_t>();
    if (value->is_number_integer())
        return static_cast<quint64>(value->get<std::int64_t>());
    if (value->is_number_float()) {
        // Out-of-range conversions are undefined; such a value cannot name a real hash anyway.
        const double d = value->get<double>();
        return d >= 0.0 && d < 18446744073709551616.0 ? static_cast<quint64>(d) : 0;
    }
    return 0;
}

QString patchAddress(const nlohmann::json& manifest, Languages lang)
{
    const nlohmann::json* value =
        member(manifest, QStringLiteral("filename") + languageKeySuffix(lang));
    if (!value || !value->is_string())
        return QString();
    return QString::fromStdString(value->get<std::string>());
}

QUrl patchUrl(const nlohmann::json& manifest, Languages lang)
{
    const QString address = patchAddress(manifest, lang);
    // The publisher's tool checks addresses by the same rule, so what it passes is offered here.
    if (address.isEmpty() || !qdt::checkFetchableAddress(address.toStdString()))
        return QUrl();
    if (!releaseKeys().empty() && !publishedDigest(manifest, lang))
        return QUrl();
    const QUrl url(address, QUrl::TolerantMode);
    return fetchable(url) ? url : QUrl();
}

std::optional<qdt::Sha256Digest> publishedDigest(const nlohmann::json& manifest, Languages lang)
{
    const nlohmann::json* value = member(
        manifest, QString::fromStdString(qdt::sha256Key(languageKeySuffix(lang).toStdString())));
    qdt::Sha256Digest digest{};
    if (!value || !value->is_string() || !qdt::parseSha256Hex(value->get<std::string>(), digest))
        return std::nullopt;
    return digest;
}

bool matchesPublishedDigest(const nlohmann::json& manifest, Languages lang, const QByteArray& bytes)
{
    const auto digest = publishedDigest(manifest, lang);
    if (!digest)
        return releaseKeys().empty();
    return qdt::sha256(bytes.constData(), static_cast<std::size_t>(bytes.size())) == *digest;
}

QUrl signatureUrl(const QUrl& manifestAddress)
{
    QUrl url = manifestAddress;
    url.setPath(url.path() + QLatin1String(qdt::kSignatureSuffix));
    return url;
}

nlohmann::json parseManifest(const QByteArray& bytes)
{
    // The text ends at the first zero byte, as a C string would.
    const char* begin = bytes.constData();
    const char* end = begin + qstrnlen(begin, static_cast<uint>(bytes.size()));
    nlohmann::json parsed = nlohmann::json::parse(begin, end, nullptr, false);
    if (!parsed.is_object())
        return nlohmann::json::object();
    return parsed;
}

qint32 manifestVersion(const nlohmann::json& manifest)
{
    const nlohmann::json* value = member(manifest, QStringLiteral("version"));
    if (!value)
        return 0;
    if (value->is_number_unsigned())
        return static_cast<qint32>(static_cast<quint32>(value->get<std::uint64_t>()));
    if (value->is_number_integer())
        return static_cast<qint32>(static_cast<quint32>(value->get<std::int64_t>()));
    return 0;
}

quint32 ourManifestVersion()
{
    return (versionMajor << 16) + versionMinor;
}

ManifestVerdict judgeManifest(const DownloadResult& result, const nlohmann::json& before,
                              quint32 ours)
{
    ManifestVerdict verdict;
    verdict.manifest = before;
    // An error page or a cut-off body is no manifest, even when it happens to parse.
    if (!result.ok)
        verdict.manifest = nlohmann::json::object();
    else if (!result.data.isEmpty())
        verdict.manifest = parseManifest(result.data);
    if (!result.ok && result.failure == DownloadFailure::Refused)
        verdict.refusal = result.error;
    verdict.version = manifestVersion(verdict.manifest);
    const quint32 bits = static_cast<quint32>(verdict.version);
    if (verdict.version == 0)
        verdict.kind = ManifestVerdict::Kind::Unreachable;
    else if (bits == ours)
        verdict.kind = ManifestVerdict::Kind::Current;
    else
        verdict.kind = ManifestVerdict::Kind::Outdated;
    // The minor number is shown from its low byte, as every published release has done.
    verdict.latestMajor = bits >> 16;
    verdict.latestMinor = bits & 0xFF;
    return verdict;
}

namespace {

// Why a manifest is not a release this program may use, in the player's words.
QString releaseFaultText(const qdt::ReleaseCheck& check, std::uint64_t highestAccepted)
{
    using Fault = qdt::ReleaseCheck::Fault;
    switch (check.fault) {
    case Fault::None:
        break;
    case Fault::NoSignature:
        return QCoreApplication::translate("QuenDaraTranslation",
                                           "The server sent no signature for it.");
    case Fault::BadSignature:
        return QCoreApplication::translate("QuenDaraTranslation", "Its signature is damaged.");
    case Fault::NotSigned:
        return QCoreApplication::translate("QuenDaraTranslation",
                                           "It is not signed by the translators: it was changed "
                                           "on the way, or someone else signed it.");
    case Fault::NoSerial:
        return QCoreApplication::translate("QuenDaraTranslation", "It has no release number.");
    case Fault::Replayed:
        return QCoreApplication::translate("QuenDaraTranslation",
                                           "It is an older release (number %1) than one this "
                                           "program has already used (number %2).")
            .arg(check.serial)
            .arg(highestAccepted);
    case Fault::BadExpiry:
        return QCoreApplication::translate("QuenDaraTranslation", "Its expiry date can't be read.");
    case Fault::Expired:
        return QCoreApplication::translate("QuenDaraTranslation", "It expired on %1.")
            .arg(QString::fromStdString(qdt::formatUtc(check.expires.value_or(0))));
    }
    return QString();
}

} // namespace

ManifestVerdict judgeSignedManifest(const DownloadResult& manifestResult,
                                    const DownloadResult& signature,
                                    const std::vector<qdt::PublicKey>& keys,
                                    std::uint64_t highestAccepted, std::int64_t now,
                                    const nlohmann::json& before, quint32 ours)
{
    ManifestVerdict unverified;
    unverified.kind = ManifestVerdict::Kind::Unverified;
    unverified.manifest = nlohmann::json::object();
    if (!signature.ok) {
        unverified.refusal =
            signature.httpStatus == 404 || signature.httpStatus == 410
                ? QCoreApplication::translate("QuenDaraTranslation",
                                              "The server sent no signature for it.")
                : QCoreApplication::translate("QuenDaraTranslation",
                                              "Its signature could not be downloaded.\n%1")
                      .arg(signature.error);
        return unverified;
    }
    const QByteArray& bytes = manifestResult.data;
    const qdt::ReleaseCheck check =
        qdt::checkRelease(reinterpret_cast<const unsigned char*>(bytes.constData()),
                          static_cast<std::size_t>(bytes.size()), signature.data.toStdString(),
                          keys, highestAccepted, now);
    if (!check.ok()) {
        unverified.refusal = releaseFaultText(check, highestAccepted);
        return unverified;
    }
    ManifestVerdict verdict = judgeManifest(manifestResult, before, ours);
    verdict.serial = check.serial;
    return verdict;
}
