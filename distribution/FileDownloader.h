// Fetches one HTTP resource into memory, or into a file that survives broken connections and
// program ends, following redirects, and says once when it is done, together with whether the
// transfer worked and, when it did not, why.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include <QByteArray>
#include <QNetworkAccessManager>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>

#include "core/ReleaseCrypto.h"
#include "distribution/PartialDownload.h"

class QNetworkReply;

// Whether the program fetches `url` at all: an http or https address with a host. The one rule
// for the manifest's addresses, the patches' and every redirect.
bool fetchable(const QUrl& url);

// Bounds that keep a bad or broken server from holding the program forever or filling its memory.
// Every bound that is hit ends the download as failed, with a reason.
// Sizes count the bytes as they come over the network: bodies are asked for without compression.
struct DownloadLimits
{
    int maxRedirects = 10;   // hops followed before giving up
    int stallTimeoutMs = -1; // silence that aborts the transfer; <= 0: the default stall timeout
    qint64 maxBytes = -1;    // largest body accepted (announced or received); < 0: any
    // A transfer that takes fewer than `minBytesPerWindow` body bytes in a window of
    // `speedWindowMs` is too slow and aborted (the windows follow each other from the request
    // on). <= 0: the defaults below; a window that is not positive after that turns it off.
    int speedWindowMs = -1;
    qint64 minBytesPerWindow = -1;
    // Downloads into a file only: the pauses before each new attempt after a lost connection (so
    // also how many there are); unset: the default pauses.
    std::optional<std::vector<int>> retryPausesMs;
    // Downloads into a file only: the download ends, whatever attempt it is at, once
    // `progressBudgetMs` have passed without `progressBytes` body bytes arriving. The budget runs
    // from the first request through attempts and pauses alike, and starts anew each time that
    // many bytes have come since it last did. <= 0: the defaults below.
    int progressBudgetMs = -1;
    qint64 progressBytes = -1;
};

// Where a download kept on disk ends up, and what it must turn out to be.
struct DownloadTarget
{
    QString finalPath;         // the checked file appears here, by an atomic rename
    quint64 publishedHash = 0; // XXH64 the whole file must have; 0: none (nothing kept for later)
    // The SHA-256 it must have as well, when a signed release names one.
    std::optional<qdt::Sha256Digest> publishedDigest;
};

// Why a download failed, coarse enough to decide what follows.
enum class DownloadFailure
{
    None,
    Connection, // the transfer broke (and kept breaking): worth trying again later
    NoProgress, // the server went silent or crawled, over the attempts or over the whole budget
    Refused,    // the answer or its size is not acceptable (HTTP error, limit, address)
    Mismatch,   // the whole file arrived, but it is not the published one
    Storage,    // the file could not be written or stored
};

// What a finished download gives its owner, in one value.
struct DownloadResult
{
    bool ok = false; // a complete 2xx answer
    QByteArray data; // the final response's body (of a failed one, as far as it arrived)
    // Why it failed, naming the address: one sentence per line; empty when ok. For a refusal it
    // says what the server did, in words a player understands.
    QString error;
    QUrl finalUrl; // where the body came from, after redirects
    DownloadFailure failure = DownloadFailure::None;
    // A refusal by an HTTP error status: the status and the server's phrase for it; else 0.
    int httpStatus = 0;
    QString httpReason;
    // Downloads into a file: where the checked body now is (empty unless ok), how many bytes an
    // earlier run had left, and how many requests for the body were made.
    QString savedTo;
    std::optional<quint64> dataHash; // XXH64 of `data`, when the download had to hash it anyway
    qint64 resumedFrom = 0;
    int attempts = 1;
};
Q_DECLARE_METATYPE(DownloadResult)

class FileDownloader : public QObject
{
    Q_OBJECT

public:
    using ProgressCallback = std::function<void(qint64 bytesReceived, qint64 bytesTotal)>;

    using Limits = DownloadLimits;

    // The download starts at once. Only http and https addresses are fetched, also on redirects.
    FileDownloader(QUrl url, ProgressCallback progress, QObject* parent, Limits limits = Limits());
    // Downloads into `target.finalPath` through a partial file beside it. A lost connection is
    // taken up again after a pause with a range request, as long as the server confirms that it
    // still serves the same file; the bytes also stay for a later downloader of the same address
    // and published hash (a later click or run). Progress counts the whole file.
    FileDownloader(QUrl url, ProgressCallback progress, QObject* parent, Limits limits,
                   DownloadTarget target);
    ~FileDownloader() override;

    // The body of the final response (also of a failed one, as far as it arrived). Empty until
    // downloaded().
    QByteArray downloadedData() const;

    // Valid after downloaded(): true when the final response was a complete 2xx answer.
    bool succeeded() const { return finished_ && failure_.isEmpty(); }
    // After a failed download: a sentence saying what went wrong, naming the address.
    QString errorString() const { return failure_; }

    // Ends the transfer as failed with `reason` (the first reason given wins); downloaded() still
    // comes, once. Does nothing after downloaded().
    void abort(const QString& reason);

    // Stops the transfer for good, for an owner that no longer wants it: no more progress reports
    // and no downloaded(). The owner still releases the object.
    void cancel();

    // The silence after which transfers started from now on are aborted (30 s unless changed).
    static int defaultStallTimeout();
    static void setDefaultStallTimeout(int ms);
    // The slowest transfer that downloads started from now on keep: `bytes` per window of `ms`
    // (1024 bytes a minute unless changed; values <= 0 bring those back).
    static int defaultSpeedWindow();
    static qint64 defaultMinBytesPerWindow();
    static void setDefaultMinimumSpeed(qint64 bytes, int ms);
    // The pauses before new attempts after a lost connection, for downloads into a file started
    // from now on (1, 2, 4, 8 and 16 s unless changed; an empty list brings those back).
    static std::vector<int> defaultRetryPauses();
    static void setDefaultRetryPauses(std::vector<int> ms);
    // The progress downloads into a file started from now on must make: `bytes` within `ms`,
    // counted across attempts (64 KiB within 150 s unless changed; values <= 0 bring those back).
    static int defaultProgressBudget();
    static qint64 defaultProgressBytes();
    static void setDefaultProgressBudget(qint64 bytes, int ms);

    // Bytes of the file kept from an earlier downloader when this one started.
    qint64 resumedFrom() const { return resumedFrom_; }
    // Body bytes that came over the network to this downloader, all attempts together.
    qint64 bytesArrived() const { return bytesArrived_; }

    // The outcome so far (complete after finished()).
    DownloadResult result() const;

signals:
    // Exactly once per download, successful or not, with its outcome; downloaded() follows.
    void finished(const DownloadResult& result);
    // Exactly once per download, successful or not.
    void downloaded();
    // The connection was lost; attempt `attempt` of at most `attempts` follows after a pause and
    // continues after the `kept` bytes already received (0: from the start).
    void retrying(int attempt, int attempts, qint64 kept, const QString& reason);

private slots:
    void fileDownloaded(QNetworkReply* pReply);

private:
    void setUp(const QUrl& url);
    void startRequest(const QUrl& url);
    // Downloads into a file: judges the answer's head once (write it, restart, or refuse it).
    void takeAnswer(QNetworkReply* reply);
    bool takeBody(QNetworkReply* reply);
    void finishFile(QNetworkReply* reply);
    // The current attempt is over because the connection broke (or, for `NoProgress`, the server
    // went silent or crawled): another one follows after a pause, or the download fails as `kind`
    // when none is left.
    void connectionLost(const QString& reason, DownloadFailure kind = DownloadFailure::Connection);
    // The bytes kept do not continue into what the server sends now: they go, and the next
    // attempt starts from the first byte at once.
    void startOver(const QString& reason);
    void dropCurrentReply();
    void nextAttempt();
    // The partial file holds a true beginning of a file the server can be asked to continue.
    bool continuable() const;
    // ... and a later downloader may continue it too (it knows the hash the whole must have).
    bool keptForLater() const;
    // Closes the partial file, keeping it only when a later downloader may continue it.
    void releasePartial();
    void stopTimers();
    // Ends the download because the partial file could not be written.
    void failSaving(const QString& error);
    // How many attempts were made and what stays for the next try, one sentence per line.
    QString attemptsSummary() const;
    QString tooLarge(const QNetworkReply* reply) const;
    void fail(DownloadFailure kind, const QString& reason);
    void stall(const QString& reason);
    void onProgress(QNetworkReply* reply, qint64 received, qint64 total);
    void checkSpeed();
    void noProgress();
    void finish();
    // False (and the download aborted) when `bytes` exceeds the size limit.
    bool checkSize(QNetworkReply* reply, qint64 bytes);
    // Why a finished reply is no complete answer (empty: it is one); an HTTP error status is
    // noted for the result.
    QString checkFinishedReply(QNetworkReply* reply, qint64 bodyBytes);

    QNetworkAccessManager networkManager;
    QByteArray data;
    QByteArray received_; // body of the current reply so far
    QNetworkReply* currentReply = nullptr;
    ProgressCallback progress;
    Limits limits_;
    QUrl firstUrl_;
    QUrl finalUrl_; // the address of the latest request
    int hops_ = 0;
    bool finished_ = false;
    QString failure_;
    QTimer stallTimer_;
    QTimer speedTimer_;
    qint64 bytesThisWindow_ = 0;
    DownloadFailure failureKind_ = DownloadFailure::None;
    qint64 bytesArrived_ = 0;

    // Downloads into a file.
    std::unique_ptr<PartialDownload> partial_;
    DownloadTarget target_;
    PartialIdentity identity_; // what the bytes in the partial file are part of
    qint64 offset_ = 0;        // bytes in the partial file when the current request went out
    qint64 resumedFrom_ = 0;
    bool rangeAsked_ = false;
    bool answerTaken_ = false; // the current reply's head was judged
    bool writing_ = false;     // the current reply's body goes to the partial file
    qint64 written_ = 0;       // body bytes of the current reply in the partial file
    int attempt_ = 1;
    std::optional<quint64> dataHash_;
    std::vector<int> pauses_;
    QTimer retryTimer_;
    QTimer progressTimer_;
    qint64 progressMark_ = 0; // bytesArrived_ when the progress budget last started
    int httpStatus_ = 0;
    QString httpReason_;
};
