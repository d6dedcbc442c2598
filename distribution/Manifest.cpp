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
