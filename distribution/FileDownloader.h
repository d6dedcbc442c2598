// Fetches one HTTP resource into memory, following redirects, and says once when it is done,
// together with whether the transfer worked and, when it did not, why.
#pragma once

#include <functional>

#include <QByteArray>
#include <QNetworkAccessManager>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>

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
};

// What a finished download gives its owner, in one value.
struct DownloadResult
{
    bool ok = false; // a complete 2xx answer
    QByteArray data; // the final response's body (of a failed one, as far as it arrived)
    QString error;   // why it failed, in a sentence naming the address; empty when ok
    QUrl finalUrl;   // where the body came from, after redirects
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

    // The outcome so far (complete after finished()).
    DownloadResult result() const;

signals:
    // Exactly once per download, successful or not, with its outcome; downloaded() follows.
    void finished(const DownloadResult& result);
    // Exactly once per download, successful or not.
    void downloaded();

private slots:
    void fileDownloaded(QNetworkReply* pReply);

private:
    void startRequest(const QUrl& url);
    void onProgress(QNetworkReply* reply, qint64 received, qint64 total);
    void checkSpeed();
    void finish();
    // False (and the download aborted) when `bytes` exceeds the size limit.
    bool checkSize(QNetworkReply* reply, qint64 bytes);
    QString checkFinishedReply(QNetworkReply* reply) const;

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
};
