// Getting a language's patch, without a window.
#include "distribution/PatchSource.h"

#include <QCoreApplication>
#include <QFile>

#include "core/FileIo.h"
#include "core/Xxh64.h"
#include "distribution/Manifest.h"
#include "distribution/PartialDownload.h"
#include "distribution/PatchCache.h"

quint64 patchHash(const QByteArray& bytes)
{
    return qdt::xxh64(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

PatchChoice choosePatch(Languages lang, const nlohmann::json& manifest, quint64 knownHash,
                        const QString& folder)
{
    PatchChoice choice;
    choice.published = publishedHash(manifest, lang);
    choice.knownHash = knownHash;
    if (keptCopyUsable(choice.published, knownHash, knownHash)) {
        QFile file(folder + patchFileName(lang));
        const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        // The file may have changed since it was hashed; an empty, unreadable or altered copy is
        // fetched again rather than applied or left hanging.
        if (!bytes.isEmpty() && keptCopyUsable(choice.published, knownHash, patchHash(bytes)) &&
            matchesPublishedDigest(manifest, lang, bytes)) {
            choice.source = PatchChoice::Source::Kept;
            choice.bytes = bytes;
            return choice;
        }
        choice.knownHash = 0;
    }
    choice.url = patchUrl(manifest, lang);
    choice.source =
        choice.url.isEmpty() ? PatchChoice::Source::NotOffered : PatchChoice::Source::Download;
    return choice;
}

namespace {

// What an HTTP error status means for a patch, in the player's words.
QString statusMeaning(int status)
{
    if (status == 404 || status == 410)
        return QCoreApplication::translate("QuenDaraTranslation", "the translation is not there");
    if (status == 401 || status == 403 || status == 451)
        return QCoreApplication::translate("QuenDaraTranslation",
                                           "it does not let the translation be downloaded");
    if (status == 408 || status == 429 || status == 502 || status == 503 || status == 504)
        return QCoreApplication::translate("QuenDaraTranslation",
                                           "it is too busy or down for the moment");
    if (status >= 500)
        return QCoreApplication::translate("QuenDaraTranslation", "it has a problem of its own");
    return QCoreApplication::translate("QuenDaraTranslation", "it did not send the translation");
}

} // namespace

PatchDownloadVerdict judgePatchDownload(const DownloadResult& result, quint64 published,
                                        const std::optional<qdt::Sha256Digest>& digest,
                                        const QUrl& url)
{
    PatchDownloadVerdict verdict;
    verdict.hash = result.dataHash ? *result.dataHash : patchHash(result.data);
    if (!result.ok) {
        verdict.detail = result.error;
        switch (result.failure) {
        case DownloadFailure::Mismatch:
            // The downloader checked the whole file itself.
            verdict.kind = PatchDownloadVerdict::Kind::NotAnnounced;
            verdict.detail.clear();
            break;
        case DownloadFailure::Storage:
            verdict.kind = PatchDownloadVerdict::Kind::NotStored;
            break;
        case DownloadFailure::Refused:
            verdict.kind = PatchDownloadVerdict::Kind::Refused;
            if (result.httpStatus != 0) {
                const QString address =
                    (result.finalUrl.isEmpty() ? url : result.finalUrl).toDisplayString();
                const QString status = QString::number(result.httpStatus);
                verdict.detail =
                    result.httpReason.isEmpty()
                        ? QCoreApplication::translate("QuenDaraTranslation",
                                                      "The server answered %1 for %2: %3.")
                              .arg(status, address, statusMeaning(result.httpStatus))
                        : QCoreApplication::translate("QuenDaraTranslation",
                                                      "The server answered %1 (%2) for %3: %4.")
                              .arg(status, result.httpReason, address,
                                   statusMeaning(result.httpStatus));
            }
            break;
        case DownloadFailure::NoProgress:
            verdict.kind = PatchDownloadVerdict::Kind::NoProgress;
            verdict.detail =
                QCoreApplication::translate(
                    "QuenDaraTranslation",
                    "The server stopped sending the patch from %1, or sends it too slowly.")
                    .arg(url.toDisplayString());
            break;
        case DownloadFailure::Connection:
        case DownloadFailure::None:
            verdict.kind = PatchDownloadVerdict::Kind::Failed;
            break;
        }
        return verdict;
    }
    if (result.data.isEmpty()) {
        verdict.kind = PatchDownloadVerdict::Kind::Refused;
        verdict.detail = QCoreApplication::translate("QuenDaraTranslation",
                                                     "The server sent an empty file for %1.")
                             .arg(url.toDisplayString());
        return verdict;
    }
    // A download kept in a file had both checked before it was stored.
    if ((published != 0 && verdict.hash != published) ||
        (digest && result.savedTo.isEmpty() &&
         qdt::sha256(result.data.constData(), static_cast<std::size_t>(result.data.size())) !=
             *digest)) {
        verdict.kind = PatchDownloadVerdict::Kind::NotAnnounced;
        return verdict;
    }
    verdict.kind = PatchDownloadVerdict::Kind::Usable;
    return verdict;
}

quint64 keepPatch(Languages lang, const QByteArray& bytes, const QString& folder)
{
    const QString name = patchFileName(lang);
    if (name.isEmpty() || bytes.isEmpty())
        return 0;
    const qdt::Status written =
        qdt::writeFileAtomically(qdt::pathFromUtf8((folder + name).toUtf8().toStdString()),
                                 bytes.constData(), static_cast<std::size_t>(bytes.size()));
    // Only a copy that is really on disk may count as kept later.
    return written.ok() ? patchHash(bytes) : 0;
}

void dropStalePartialDownloads(const nlohmann::json& manifest, const QString& folder)
{
    for (Languages lang : {languageEnglish, languageEnglishMachine, languageRussian}) {
        // Looking at what is kept discards whatever does not belong to this address and hash.
        PartialDownload(folder + patchFileName(lang))
            .kept(patchUrl(manifest, lang), publishedHash(manifest, lang), nullptr);
    }
}

double downloadSpeed(qint64 bytesReceived, qint64 elapsedNanoseconds)
{
    const double wholeSeconds = static_cast<double>(static_cast<qint64>(elapsedNanoseconds / 1e9));
    return static_cast<double>(bytesReceived) / 1024 / 1024 / qMax(wholeSeconds, 1.0);
}

QString downloadProgressFormat(double speed)
{
    return QCoreApplication::translate("QuenDaraTranslation",
                                       "Downloading the patch...%p% (%1 Mb/sec)")
        .arg(speed, 0, 'g', 3, QLatin1Char(' '));
}

QString downloadResumingFormat(int attempt, int attempts)
{
    return QCoreApplication::translate("QuenDaraTranslation",
                                       "Connection lost, resuming... (attempt %1 of %2)")
        .arg(attempt)
        .arg(attempts);
}

QString downloadBusyFormat(qint64 bytesReceived, double speed)
{
    return QCoreApplication::translate("QuenDaraTranslation",
                                       "Downloading the patch...%1 Mb (%2 Mb/sec)")
        .arg(static_cast<double>(bytesReceived) / 1024 / 1024, 0, 'f', 2)
        .arg(speed, 0, 'g', 3, QLatin1Char(' '));
}

DownloadProgressView downloadProgressView(qint64 received, qint64 total, qint64 arrived,
                                          qint64 elapsedNanoseconds, int shownValue)
{
    DownloadProgressView view;
    const double speed = downloadSpeed(arrived, elapsedNanoseconds);
    if (total <= 0) {
        view.update = true;
        view.maximum = 100;
        view.value = static_cast<int>((received >> 14) % 101);
        view.format = downloadBusyFormat(received, speed);
        return view;
    }
    view.maximum = static_cast<int>(qMin<qint64>(total, kMaxPatchBytes));
    const int value = static_cast<int>(qBound<qint64>(0, received, view.maximum));
    if (value == shownValue)
        return view;
    view.update = true;
    view.value = value;
    view.format = downloadProgressFormat(speed);
    return view;
}
