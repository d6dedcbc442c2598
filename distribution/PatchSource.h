// Getting a language's patch, without a window: whether the kept copy serves or a download is
// needed, what a finished download is worth, keeping it, and what the progress bar says meanwhile.
// The window gathers its state, calls these and shows the outcome.
#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <QtGlobal>

#include <optional>

#include <nlohmann/json.hpp>

#include "app/Languages.h"
#include "distribution/FileDownloader.h"
#include "patching/PatchFormat.h"

// The largest patch body accepted. The engine takes each patch whole in memory, and the progress
// bar counts bytes in an int; a larger body is refused before it fills the memory.
constexpr qint64 kMaxPatchBytes = static_cast<qint64>(qdt::kMaxPatchSize);

// The hash a patch is known by (XXH64 of its bytes, seed 0).
quint64 patchHash(const QByteArray& bytes);

// Where a language's patch comes from.
struct PatchChoice
{
    enum class Source
    {
        Kept,       // the kept copy in the work directory is the published one: apply `bytes`
        Download,   // fetch `url`
        NotOffered, // the manifest gives no address the program fetches
    };
    Source source = Source::NotOffered;
    QByteArray bytes;      // for Kept
    QUrl url;              // for Download
    quint64 published = 0; // the hash the manifest publishes (0: none)
    quint64 knownHash = 0; // the kept copy's hash to remember from now on (0: none usable)
};

// Decides for `lang` from the manifest and the hash the window knows for the kept copy in
// `folder` (the work directory). The copy is read and hashed again: one that is empty, unreadable
// or altered since, or not the SHA-256 a signed release names, is not used, and no longer known.
PatchChoice choosePatch(Languages lang, const nlohmann::json& manifest, quint64 knownHash,
                        const QString& folder);

// What a finished patch download is worth.
struct PatchDownloadVerdict
{
    enum class Kind
    {
        Usable,       // apply it
        Failed,       // the connection failed: `detail` says how
        Refused,      // the server answered, but not with the patch: `detail` says what it did
        NoProgress,   // the server stopped sending, or sends too slowly: `detail` says so
        NotStored,    // the disk refused the file: `detail` says why and what to do
        NotAnnounced, // it arrived whole, but it is not the file the manifest announces
    };
    Kind kind = Kind::Failed;
    QString detail;   // one sentence per line, for the player
    quint64 hash = 0; // of the bytes that arrived
};

// Only the file the manifest announces (when it publishes a hash, and a SHA-256 `digest`) may be
// kept and applied.
PatchDownloadVerdict judgePatchDownload(const DownloadResult& result, quint64 published,
                                        const std::optional<qdt::Sha256Digest>& digest,
                                        const QUrl& url);

// Keeps `bytes` as the language's copy in `folder`, replacing the one before whole or not at all.
// The hash to remember for it, or 0 when it could not be written (then the copy before stays and
// counts as unknown).
quint64 keepPatch(Languages lang, const QByteArray& bytes, const QString& folder);

// Drops the bytes of unfinished downloads in `folder` that can no longer be continued: the
// manifest now publishes another hash or another address for their language, or none. They
// would only take disk space until that language is chosen again.
void dropStalePartialDownloads(const nlohmann::json& manifest, const QString& folder);

// Average speed since the request in 2^20 bytes per second, over whole elapsed seconds. Within the
// first second the elapsed time counts as one second, so the figure is never infinite.
double downloadSpeed(qint64 bytesReceived, qint64 elapsedNanoseconds);

// "Downloading the patch...%p% (%1 Mb/sec)" with the speed to three significant digits.
QString downloadProgressFormat(double speed);

// "Connection lost, resuming... (attempt %1 of %2)": a lost connection is taken up again.
QString downloadResumingFormat(int attempt, int attempts);

// The text beside a busy bar, for a download of unknown length: what arrived (in Mb) and the speed.
QString downloadBusyFormat(qint64 bytesReceived, double speed);

// What the progress bar shows for a patch download after a progress report.
struct DownloadProgressView
{
    int maximum = 0;     // the bar's range is 0 to this
    bool update = false; // false: the value and the text stay as they are
    int value = 0;
    QString format;
};

// From the report (`received` of `total` bytes of the whole file; `total` <= 0: the length is
// unknown), the bytes that came over the network since the request (`arrived`: the speed counts
// these, not bytes kept from an earlier try), the time since the request and the value the bar
// shows now. A known length sets the bar to the bytes received (back to 0 too, when a file that
// changed on the server starts over); an unknown one makes it go round (a turn per 1.6 MiB), since
// a bar without a range hides its text in most styles.
DownloadProgressView downloadProgressView(qint64 received, qint64 total, qint64 arrived,
                                          qint64 elapsedNanoseconds, int shownValue);
