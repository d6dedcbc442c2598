// The patch manifest: its progress display, its arrival and the version gate.
#include "distribution/Manifest.h"

#include <QCoreApplication>
#include <QMessageBox>

#include "app/Constants.h"
#include "app/Messages.h"
#include "app/QuenDaraTranslation.h"
#include "app/RunLog.h"
#include "distribution/FileDownloader.h"

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
    if (address.isEmpty())
        return QUrl();
    const QUrl url(address, QUrl::TolerantMode);
    return fetchable(url) ? url : QUrl();
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

void QuenDaraTranslation::manifestProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    if (bytesReceived > kMaxManifestBytes || bytesTotal > kMaxManifestBytes) {
        // Whatever this is, it is no manifest; stop before it fills the memory.
        if (manifestDownloader)
            manifestDownloader->abort(tr("The manifest is larger than %1 bytes.")
                                          .arg(QString::number(kMaxManifestBytes)));
        return;
    }
    ui.progressBar->setTextVisible(true);
    ui.progressBar->setMaximum(static_cast<int>(bytesTotal));
    ui.progressBar->setValue(static_cast<int>(bytesReceived));
    ui.progressBar->setFormat(tr("Getting patch info...%p%"));
    ui.progressBar->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    QCoreApplication::processEvents();
}

void QuenDaraTranslation::patchInfoDownloaded(const DownloadResult& result)
{
    FileDownloader* downloader = manifestDownloader;
    manifestDownloader = nullptr;
    if (!downloader)
        return;
    const QByteArray& bytes = result.data;
    // An error page or a cut-off body is no manifest, even when it happens to parse.
    if (!result.ok)
        manifest = nlohmann::json::object();
    else if (!bytes.isEmpty())
        manifest = parseManifest(bytes);
    runlog::write(QStringLiteral("manifest from %1: %2")
                      .arg(result.finalUrl.toDisplayString(),
                           result.ok ? QStringLiteral("%1 bytes").arg(bytes.size())
                                     : QStringLiteral("failed: ") + result.error));
    downloader->deleteLater();
    ui.progressBar->reset();

    const qint32 version = manifestVersion(manifest);
    runlog::write(QStringLiteral("manifest version %1.%2")
                      .arg(static_cast<quint32>(version) >> 16)
                      .arg(static_cast<quint32>(version) & 0xFFFF));
    if (version == 0) {
        showMessage(tr("Can't connect to server."));
        close();
        return;
    }
    if (version == static_cast<qint32>((versionMajor << 16) + versionMinor)) {
        if (!gamePath.isEmpty()) {
            validateGameFolder();
            return;
        }
        showMessage(
            tr("Can't find a game folder, please browse to QuenDara.exe in the game folder."));
        return;
    }
    const quint32 bits = static_cast<quint32>(version);
    showMessage(tr("Your version of the patcher is too old (last version is v%1.%2), please "
                   "download new version.")
                    .arg(QString::number(bits >> 16), QString::number(bits & 0xFF)),
                tr("Old version"));
    close();
}
