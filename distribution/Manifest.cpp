// The patch manifest: its progress display, its arrival and the version gate.
#include "distribution/Manifest.h"

#include <QCoreApplication>

#include "app/QuenDaraTranslation.h"
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
    const nlohmann::json* value = member(manifest, QStringLiteral("xxhash") + languageKeySuffix(lang));
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

void QuenDaraTranslation::manifestProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    ui.progressBar->setTextVisible(true);
    ui.progressBar->setMaximum(static_cast<int>(bytesTotal));
    ui.progressBar->setValue(static_cast<int>(bytesReceived));
    ui.progressBar->setFormat(tr("Getting patch info...%p%"));
    ui.progressBar->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    QCoreApplication::processEvents();
}

void QuenDaraTranslation::patchInfoDownloaded()
{
    // Placeholder until the manifest parsing and version gate land: the bytes are taken and the
    // downloader released, nothing else happens.
    manifestDownloader->downloadedData();
    manifestDownloader->deleteLater();
    ui.progressBar->reset();
}
