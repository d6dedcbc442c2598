#include "distribution/FileDownloader.h"

#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace {

constexpr qint64 kReadAhead = 4 << 20;

int stallTimeoutForNewDownloads = 30000;
int speedWindowForNewDownloads = 60000;
qint64 minBytesPerWindowForNewDownloads = 1024;

} // namespace

bool fetchable(const QUrl& url)
{
    const QString scheme = url.scheme().toLower();
    return url.isValid() && !url.host().isEmpty() &&
           (scheme == QLatin1String("http") || scheme == QLatin1String("https"));
}

int FileDownloader::defaultStallTimeout()
{
    return stallTimeoutForNewDownloads;
}

void FileDownloader::setDefaultStallTimeout(int ms)
{
    stallTimeoutForNewDownloads = ms > 0 ? ms : 30000;
}

int FileDownloader::defaultSpeedWindow()
{
    return speedWindowForNewDownloads;
}

qint64 FileDownloader::defaultMinBytesPerWindow()
{
    return minBytesPerWindowForNewDownloads;
}

void FileDownloader::setDefaultMinimumSpeed(qint64 bytes, int ms)
{
    minBytesPerWindowForNewDownloads = bytes > 0 ? bytes : 1024;
    speedWindowForNewDownloads = ms > 0 ? ms : 60000;
}

FileDownloader::FileDownloader(QUrl url, ProgressCallback progressCallback, QObject* parent,
                               Limits limits)
    : QObject(parent), progress(std::move(progressCallback)), limits_(limits), firstUrl_(url)
{
    // Players behind a proxy reach the server the way their other programs do.
    QNetworkProxyFactory::setUseSystemConfiguration(true);
    qRegisterMetaType<QNetworkReply*>("QNetworkReply*");
    if (limits_.stallTimeoutMs <= 0)
        limits_.stallTimeoutMs = defaultStallTimeout();
    stallTimer_.setSingleShot(true);
    stallTimer_.setInterval(limits_.stallTimeoutMs);
    connect(&stallTimer_, &QTimer::timeout, this, [this] {
        const QString address =
            currentReply ? currentReply->url().toDisplayString() : firstUrl_.toDisplayString();
        abort(tr("No data arrived from %1 for %2 seconds.")
                  .arg(address, QString::number(limits_.stallTimeoutMs / 1000.0)));
    });
    if (limits_.speedWindowMs <= 0)
        limits_.speedWindowMs = defaultSpeedWindow();
    if (limits_.minBytesPerWindow <= 0)
        limits_.minBytesPerWindow = defaultMinBytesPerWindow();
    // A live but crawling server escapes the stall rule; over whole windows it must keep a pace.
    speedTimer_.setInterval(limits_.speedWindowMs);
    connect(&speedTimer_, &QTimer::timeout, this, &FileDownloader::checkSpeed);
    connect(&networkManager, SIGNAL(finished(QNetworkReply*)), this,
            SLOT(fileDownloaded(QNetworkReply*)));
    if (fetchable(url)) {
        startRequest(url);
    } else {
        failure_ = tr("Only http and https addresses can be downloaded, not \"%1\".")
                       .arg(url.toDisplayString());
        // The owner connects to downloaded() after construction, so the news must wait a turn.
        QMetaObject::invokeMethod(
            this, [this] { finish(); }, Qt::QueuedConnection);
    }
}

FileDownloader::~FileDownloader()
{
    // The network manager goes after this object's own members; its replies must not call back
    // into a half-destroyed downloader while they are torn down.
    stallTimer_.stop();
    speedTimer_.stop();
    disconnect(&networkManager, nullptr, this, nullptr);
    for (QNetworkReply* reply : networkManager.findChildren<QNetworkReply*>())
        disconnect(reply, nullptr, this, nullptr);
}

QByteArray FileDownloader::downloadedData() const
{
    return data;
}

void FileDownloader::abort(const QString& reason)
{
    if (finished_)
        return;
    if (failure_.isEmpty())
        failure_ = reason;
    if (QNetworkReply* reply = currentReply) {
        // The reply says it finished from inside abort(), before it tells the network thread to
        // drop the connection; an owner that answered with a message box there would keep the
        // transfer going until the box closed. So the reply is stopped first, unheard.
        currentReply = nullptr;
        disconnect(reply, nullptr, this, nullptr);
        if (reply->isRunning())
            reply->abort();
        reply->deleteLater();
    }
    stallTimer_.stop();
    speedTimer_.stop();
    // The owner hears of it from the event loop, not from inside the reply's own signals, which
    // must not see the reply released under them.
    QMetaObject::invokeMethod(
        this, [this] { finish(); }, Qt::QueuedConnection);
}

void FileDownloader::cancel()
{
    finished_ = true;
    progress = nullptr;
    stallTimer_.stop();
    speedTimer_.stop();
    if (QNetworkReply* reply = currentReply) {
        currentReply = nullptr;
        disconnect(reply, nullptr, this, nullptr);
        reply->abort();
        reply->deleteLater();
    }
}

void FileDownloader::startRequest(const QUrl& url)
{
    finalUrl_ = url;
    received_.clear();
    QNetworkRequest request(url);
    // Bodies as they are on the wire: a Qt that asks for gzip itself also unpacks the answer
    // before any limit here sees it, so a few megabytes could become gigabytes in memory.
    // Asking ourselves keeps Qt from doing either.
    request.setRawHeader("Accept-Encoding", "identity");
    currentReply = networkManager.get(request);
    QNetworkReply* reply = currentReply;
    // The network thread reads no further ahead of us than this: a flood is held at the socket
    // instead of piling up in memory before our limits see it, and an abort is not stuck behind
    // it.
    reply->setReadBufferSize(kReadAhead);
    connect(reply, &QNetworkReply::downloadProgress, this,
            [this, reply](qint64 received, qint64 total) { onProgress(reply, received, total); });
    // Qt spaces its progress reports out, so the arrival of headers and data is watched too: it
    // keeps a slow but live transfer going and catches an oversized body early.
    connect(reply, &QNetworkReply::metaDataChanged, this, [this, reply] {
        if (reply != currentReply || finished_)
            return;
        stallTimer_.start();
        const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
        if (announced.isValid())
            checkSize(reply, announced.toLongLong());
    });
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] {
        if (reply != currentReply || finished_)
            return;
        stallTimer_.start();
        // Taking the bytes as they come keeps one copy of the body, not the reply's buffer and
        // a joined copy of it at the end.
        const qint64 available = reply->bytesAvailable();
        if (checkSize(reply, received_.size() + available)) {
            received_.append(reply->readAll());
            bytesThisWindow_ += available;
        }
    });
    stallTimer_.start();
    bytesThisWindow_ = 0;
    if (limits_.speedWindowMs > 0)
        speedTimer_.start();
}

void FileDownloader::checkSpeed()
{
    if (finished_ || !currentReply)
        return;
    if (bytesThisWindow_ >= limits_.minBytesPerWindow) {
        bytesThisWindow_ = 0;
        return;
    }
    abort(tr("The transfer from %1 was too slow: fewer than %2 bytes arrived in %3 seconds.")
              .arg(currentReply->url().toDisplayString(),
                   QString::number(limits_.minBytesPerWindow),
                   QString::number(limits_.speedWindowMs / 1000.0)));
}

void FileDownloader::onProgress(QNetworkReply* reply, qint64 received, qint64 total)
{
    if (reply != currentReply || finished_)
        return;
    stallTimer_.start();
    if (!checkSize(reply, qMax(received, total)))
        return;
    if (progress)
        progress(received, total);
}

bool FileDownloader::checkSize(QNetworkReply* reply, qint64 bytes)
{
    if (limits_.maxBytes < 0 || bytes <= limits_.maxBytes)
        return true;
    abort(tr("%1 is larger than the %2 bytes this program accepts.")
              .arg(reply->url().toDisplayString(), QString::number(limits_.maxBytes)));
    return false;
}

void FileDownloader::fileDownloaded(QNetworkReply* pReply)
{
    if (finished_ || pReply != currentReply)
        return;
    if (!failure_.isEmpty()) {
        // Aborted here (stall, size, owner): what arrived is not worth keeping.
        pReply->deleteLater();
        finish();
        return;
    }

    const QUrl redirect = pReply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
    if (!redirect.isEmpty()) {
        // A relative Location is legal HTTP and means the same server.
        const QUrl target = pReply->url().resolved(redirect);
        pReply->deleteLater();
        if (!fetchable(target)) {
            failure_ = tr("%1 redirects to \"%2\", which is not an http or https address.")
                           .arg(pReply->url().toDisplayString(), target.toDisplayString());
            finish();
        } else if (++hops_ > limits_.maxRedirects) {
            failure_ = tr("%1 redirects more than %2 times.")
                           .arg(firstUrl_.toDisplayString(), QString::number(limits_.maxRedirects));
            finish();
        } else {
            startRequest(target);
        }
        return;
    }

    if (pReply->isRunning())
        return;
    received_.append(pReply->readAll());
    data.append(received_);
    received_.clear();
    failure_ = checkFinishedReply(pReply);
    if (limits_.maxBytes >= 0 && data.size() > limits_.maxBytes) {
        failure_ = tr("%1 is larger than the %2 bytes this program accepts.")
                       .arg(pReply->url().toDisplayString(), QString::number(limits_.maxBytes));
        data.clear();
    }
    pReply->deleteLater();
    finish();
}

QString FileDownloader::checkFinishedReply(QNetworkReply* reply) const
{
    const QString address = reply->url().toDisplayString();
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid()) {
        const int code = status.toInt();
        if (code < 200 || code > 299) {
            const QString reason =
                QString::fromLatin1(
                    reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toByteArray())
                    .trimmed();
            return reason.isEmpty() ? tr("The server answered HTTP %1 for %2.")
                                          .arg(QString::number(code), address)
                                    : tr("The server answered HTTP %1 (%2) for %3.")
                                          .arg(QString::number(code), reason, address);
        }
    }
    if (reply->error() != QNetworkReply::NoError)
        return tr("The transfer from %1 failed: %2.").arg(address, reply->errorString());
    // Bodies arrive as sent (compressed or not), so the announced length counts the same bytes.
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    if (announced.isValid() && data.size() < announced.toLongLong()) {
        return tr("The transfer from %1 ended after %2 of %3 bytes.")
            .arg(address, QString::number(data.size()), QString::number(announced.toLongLong()));
    }
    return QString();
}

void FileDownloader::finish()
{
    if (finished_)
        return;
    finished_ = true;
    received_.clear();
    currentReply = nullptr;
    stallTimer_.stop();
    speedTimer_.stop();
    emit finished(result());
    emit downloaded();
}

DownloadResult FileDownloader::result() const
{
    DownloadResult r;
    r.ok = succeeded();
    r.data = data;
    r.error = failure_;
    r.finalUrl = finalUrl_;
    return r;
}
