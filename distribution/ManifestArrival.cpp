// The window's side of the manifest: its progress display, its arrival and the version gate.
#include <QCoreApplication>
#include <QDateTime>

#include "core/FileIo.h"
#include "core/SignedRelease.h"

#include "app/Constants.h"
#include "app/Messages.h"
#include "app/QuenDaraTranslation.h"
#include "app/RunLog.h"
#include "distribution/ByteSize.h"
#include "distribution/FileDownloader.h"
#include "distribution/Manifest.h"
#include "distribution/ReleaseKeys.h"

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

    // With release keys in force a manifest counts only with its signature: that is fetched next,
    // and nothing in the manifest (not even its version) is acted on before it verifies.
    if (!releaseKeys().empty() && result.ok && !result.data.isEmpty()) {
        FileDownloader::Limits limits;
        limits.maxBytes = static_cast<qint64>(qdt::kMaxSignatureFileBytes);
        manifestDownloader = new FileDownloader(signatureUrl(manifestUrl()), nullptr, this, limits);
        connect(manifestDownloader, &FileDownloader::finished, this,
                [this, result](const DownloadResult& signature) {
                    whenEngineIdle([this, result, signature] {
                        manifestSignatureDownloaded(result, signature);
                    });
                });
        return;
    }
    ui.progressBar->reset();
    showManifestVerdict(result, judgeManifest(result, manifest, ourManifestVersion()));
}

void QuenDaraTranslation::manifestSignatureDownloaded(const DownloadResult& manifestResult,
                                                      const DownloadResult& signature)
{
    FileDownloader* downloader = manifestDownloader;
    manifestDownloader = nullptr;
    if (!downloader)
        return;
    downloader->deleteLater();
    ui.progressBar->reset();

    const std::filesystem::path serialFile = qdt::pathFromUtf8(
        QString(workDir + QLatin1String(qdt::kAcceptedSerialFileName)).toStdString());
    const std::uint64_t highest = qdt::readAcceptedSerial(serialFile);
    const ManifestVerdict verdict =
        judgeSignedManifest(manifestResult, signature, releaseKeys(), highest,
                            QDateTime::currentSecsSinceEpoch(), manifest, ourManifestVersion());
    runlog::write(QStringLiteral("manifest signature from %1: %2")
                      .arg(signature.finalUrl.toDisplayString(),
                           verdict.serial
                               ? QStringLiteral("verified, release %1").arg(*verdict.serial)
                               : QStringLiteral("refused: ") + verdict.refusal));
    if (verdict.serial && *verdict.serial > highest) {
        // A release older than this one is refused from now on, in this run and later ones.
        const qdt::Status kept = qdt::writeAcceptedSerial(serialFile, *verdict.serial);
        if (!kept)
            runlog::write(QStringLiteral("the release number could not be kept: %1")
                              .arg(QString::fromStdString(kept.detail)));
    }
    showManifestVerdict(manifestResult, verdict);
}

void QuenDaraTranslation::showManifestVerdict(const DownloadResult& result,
                                              const ManifestVerdict& verdict)
{
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
    case ManifestVerdict::Kind::Unverified:
        // Whatever came may be a forgery: nothing of it is used, and the player is told that
        // the game is as it was.
        showMessage(tr("Can't verify the list of translations from the server.\n%1\nNothing was "
                       "downloaded or changed.\nPlease try again later; if it goes on, tell the "
                       "translators.")
                        .arg(verdict.refusal));
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
