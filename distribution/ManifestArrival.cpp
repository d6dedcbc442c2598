// The window's side of the manifest: its progress display, its arrival and the version gate.
#include <QCoreApplication>

#include "app/Messages.h"
#include "app/QuenDaraTranslation.h"
#include "app/RunLog.h"
#include "distribution/ByteSize.h"
#include "distribution/FileDownloader.h"
#include "distribution/Manifest.h"

void QuenDaraTranslation::manifestProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    if (bytesReceived > kMaxManifestBytes || bytesTotal > kMaxManifestBytes) {
        // Whatever this is, it is no manifest; stop before it fills the memory.
        if (manifestDownloader)
            manifestDownloader->abort(
                tr("The file at %1 is larger than the %2 this program accepts.")
                    .arg(manifestUrl().toDisplayString(), megabytes(kMaxManifestBytes)));
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
    downloader->deleteLater();
    ui.progressBar->reset();

    const ManifestVerdict verdict = judgeManifest(result, manifest, ourManifestVersion());
    manifest = verdict.manifest;
    runlog::write(QStringLiteral("manifest from %1: %2, version %3.%4")
                      .arg(result.finalUrl.toDisplayString(),
                           result.ok ? QStringLiteral("%1 bytes").arg(result.data.size())
                                     : QStringLiteral("failed: ") + result.error)
                      .arg(static_cast<quint32>(verdict.version) >> 16)
                      .arg(static_cast<quint32>(verdict.version) & 0xFFFF));
    switch (verdict.kind) {
    case ManifestVerdict::Kind::Unreachable:
        // A server that answered but refused is named with what it did: the player can pass
        // that on, and "connect" alone would send them looking at their own line.
        showMessage(verdict.refusal.isEmpty()
                        ? tr("Can't connect to server.")
                        : tr("Can't connect to server.\n%1").arg(verdict.refusal));
        close();
        return;
    case ManifestVerdict::Kind::Current:
        if (!gamePath.isEmpty()) {
            validateGameFolder();
            return;
        }
        showMessage(
            tr("Can't find a game folder, please browse to QuenDara.exe in the game folder."));
        return;
    case ManifestVerdict::Kind::Outdated:
        showMessage(
            tr("Your version of the patcher is too old (last version is v%1.%2), please "
               "download new version.")
                .arg(QString::number(verdict.latestMajor), QString::number(verdict.latestMinor)),
            tr("Old version"));
        close();
        return;
    }
}
