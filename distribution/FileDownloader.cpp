#include "distribution/FileDownloader.h"

#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>

#include "distribution/ByteSize.h"

namespace {

constexpr qint64 kReadAhead = 4 << 20;

int stallTimeoutForNewDownloads = 30000;
int speedWindowForNewDownloads = 60000;
qint64 minBytesPerWindowForNewDownloads = 1024;
// A home connection that drops usually comes back within seconds; five more tries over half a
// minute outlast that without keeping a player waiting long on a server that is really gone.
const std::vector<int> kRetryPauses = {1000, 2000, 4000, 8000, 16000};
std::vector<int> retryPausesForNewDownloads = kRetryPauses;
// Over two and a half minutes every silent or crawling server has had its attempts, and the player
// hears of it well within three minutes of the click. 64 KiB in that time is a pace far below any
// real connection's, yet far above a server that dribbles a byte now and then to look alive.
constexpr int kProgressBudgetMs = 150000;
constexpr qint64 kProgressBytes = 64 * 1024;
int progressBudgetForNewDownloads = kProgressBudgetMs;
qint64 progressBytesForNewDownloads = kProgressBytes;

// Failures of the way to the server rather than of the server's answer.
bool connectionError(QNetworkReply::NetworkError error)
{
    switch (error) {
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::TimeoutError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::UnknownNetworkError:
    case QNetworkReply::ProxyConnectionRefusedError:
    case QNetworkReply::ProxyConnectionClosedError:
    case QNetworkReply::ProxyTimeoutError:
        return true;
    default:
        return false;
    }
}

// The validator If-Range may carry: a strong ETag, else Last-Modified; empty when the server
// gives neither or says it serves no ranges.
QByteArray validatorOf(const QNetworkReply* reply)
{
    if (reply->rawHeader("Accept-Ranges").trimmed().toLower() == "none")
        return QByteArray();
    const QByteArray etag = reply->rawHeader("ETag").trimmed();
    if (etag.startsWith('"') && etag.endsWith('"') && etag.size() >= 2)
        return etag;
    return reply->rawHeader("Last-Modified").trimmed();
}

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

std::vector<int> FileDownloader::defaultRetryPauses()
{
    return retryPausesForNewDownloads;
}

void FileDownloader::setDefaultRetryPauses(std::vector<int> ms)
{
    retryPausesForNewDownloads = ms.empty() ? kRetryPauses : std::move(ms);
}

int FileDownloader::defaultProgressBudget()
{
    return progressBudgetForNewDownloads;
}

qint64 FileDownloader::defaultProgressBytes()
{
    return progressBytesForNewDownloads;
}

void FileDownloader::setDefaultProgressBudget(qint64 bytes, int ms)
{
    progressBytesForNewDownloads = bytes > 0 ? bytes : kProgressBytes;
    progressBudgetForNewDownloads = ms > 0 ? ms : kProgressBudgetMs;
}

FileDownloader::FileDownloader(QUrl url, ProgressCallback progressCallback, QObject* parent,
                               Limits limits)
    : QObject(parent), progress(std::move(progressCallback)), limits_(limits), firstUrl_(url)
{
    setUp(url);
}

FileDownloader::FileDownloader(QUrl url, ProgressCallback progressCallback, QObject* parent,
                               Limits limits, DownloadTarget target)
    : QObject(parent), progress(std::move(progressCallback)), limits_(limits), firstUrl_(url),
      partial_(std::make_unique<PartialDownload>(target.finalPath)), target_(std::move(target))
{
    pauses_ = limits_.retryPausesMs ? *limits_.retryPausesMs : defaultRetryPauses();
    retryTimer_.setSingleShot(true);
    connect(&retryTimer_, &QTimer::timeout, this, &FileDownloader::nextAttempt);
    offset_ = partial_->kept(firstUrl_, target_.publishedHash, &identity_);
    resumedFrom_ = offset_;
    // Retries must not stretch a dead download without end: the player's wait is bounded as a
    // whole, and only bytes that really arrive extend it.
    if (limits_.progressBudgetMs <= 0)
        limits_.progressBudgetMs = defaultProgressBudget();
    if (limits_.progressBytes <= 0)
        limits_.progressBytes = defaultProgressBytes();
    progressTimer_.setSingleShot(true);
    progressTimer_.setInterval(limits_.progressBudgetMs);
    connect(&progressTimer_, &QTimer::timeout, this, &FileDownloader::noProgress);
    progressTimer_.start();
    setUp(url);
}

void FileDownloader::setUp(const QUrl& url)
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
        stall(tr("No data arrived from %1 for %2 seconds.")
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
        failureKind_ = DownloadFailure::Refused;
        // The owner connects to downloaded() after construction, so the news must wait a turn.
        QMetaObject::invokeMethod(
            this, [this] { finish(); }, Qt::QueuedConnection);
    }
}

FileDownloader::~FileDownloader()
{
    // The network manager goes after this object's own members; its replies must not call back
    // into a half-destroyed downloader while they are torn down.
    stopTimers();
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
    if (failure_.isEmpty()) {
        failure_ = reason;
        if (failureKind_ == DownloadFailure::None)
            failureKind_ = DownloadFailure::Refused;
    }
    dropCurrentReply();
    stopTimers();
    releasePartial();
    // The owner hears of it from the event loop, not from inside the reply's own signals, which
    // must not see the reply released under them.
    QMetaObject::invokeMethod(
        this, [this] { finish(); }, Qt::QueuedConnection);
}

void FileDownloader::fail(DownloadFailure kind, const QString& reason)
{
    if (failure_.isEmpty())
        failureKind_ = kind;
    abort(reason);
}

void FileDownloader::stall(const QString& reason)
{
    // A silent or crawling server is what a dead connection looks like from here.
    if (partial_)
        connectionLost(reason, DownloadFailure::NoProgress);
    else
        fail(DownloadFailure::Connection, reason);
}

void FileDownloader::dropCurrentReply()
{
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
}

void FileDownloader::cancel()
{
    finished_ = true;
    progress = nullptr;
    stopTimers();
    dropCurrentReply();
    // What arrived stays for the next click or run, when it can be continued.
    releasePartial();
}

bool FileDownloader::continuable() const
{
    return partial_ && !identity_.validator.isEmpty() && identity_.total > 0 &&
           partial_->size() > 0 && partial_->size() < identity_.total;
}

bool FileDownloader::keptForLater() const
{
    return target_.publishedHash != 0 && continuable();
}

void FileDownloader::releasePartial()
{
    if (!partial_)
        return;
    partial_->close();
    if (!keptForLater())
        partial_->discard();
}

void FileDownloader::stopTimers()
{
    stallTimer_.stop();
    speedTimer_.stop();
    retryTimer_.stop();
    progressTimer_.stop();
}

void FileDownloader::failSaving(const QString& error)
{
    if (partial_ && partial_->nameInTheWay()) {
        fail(DownloadFailure::Storage,
             tr("The download could not be saved: %1\nMove it away or delete it, then try "
                "again.")
                 .arg(error));
        return;
    }
    fail(DownloadFailure::Storage,
         tr("The download could not be saved: %1\nFree some disk space or make the folder "
            "writable, then try again.")
             .arg(error));
}

QString FileDownloader::attemptsSummary() const
{
    QString summary = tr("The download was tried %1 times.").arg(attempt_);
    if (keptForLater())
        summary += QLatin1Char('\n') + tr("The %1 received are kept: the next try continues "
                                          "from there.")
                                           .arg(megabytes(partial_->size()));
    return summary;
}

QString FileDownloader::tooLarge(const QNetworkReply* reply) const
{
    return tr("The file at %1 is larger than the %2 this program accepts.")
        .arg(reply->url().toDisplayString(), megabytes(limits_.maxBytes));
}

void FileDownloader::startRequest(const QUrl& url)
{
    finalUrl_ = url;
    received_.clear();
    answerTaken_ = false;
    writing_ = false;
    written_ = 0;
    QNetworkRequest request(url);
    // Bodies as they are on the wire: a Qt that asks for gzip itself also unpacks the answer
    // before any limit here sees it, so a few megabytes could become gigabytes in memory.
    // Asking ourselves keeps Qt from doing either.
    request.setRawHeader("Accept-Encoding", "identity");
    rangeAsked_ = partial_ && offset_ > 0 && !identity_.validator.isEmpty();
    if (rangeAsked_) {
        // The rest only if the server still has the file the kept bytes came from; otherwise it
        // sends the whole new file.
        request.setRawHeader("Range", "bytes=" + QByteArray::number(offset_) + '-');
        request.setRawHeader("If-Range", identity_.validator);
    }
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
        if (partial_) {
            takeAnswer(reply);
            if (reply != currentReply || finished_)
                return;
        }
        const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
        if (announced.isValid())
            checkSize(reply, (writing_ ? offset_ : 0) + announced.toLongLong());
    });
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] {
        if (reply != currentReply || finished_)
            return;
        stallTimer_.start();
        if (partial_) {
            takeAnswer(reply);
            if (reply != currentReply || finished_)
                return;
            if (writing_) {
                takeBody(reply);
                return;
            }
        }
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

void FileDownloader::takeAnswer(QNetworkReply* reply)
{
    const QVariant statusAttribute = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (answerTaken_ || !statusAttribute.isValid())
        return;
    answerTaken_ = true;
    if (!reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl().isEmpty())
        return; // followed when it has finished
    const int status = statusAttribute.toInt();
    const QString address = reply->url().toDisplayString();
    if (status == 206 && rangeAsked_) {
        // Only the continuation of the very bytes kept: same start, same whole size, and the
        // same validator where the server repeats it.
        static const QRegularExpression rangeForm(QStringLiteral(R"(^bytes\s+(\d+)-(\d+)/(\d+)$)"),
                                                  QRegularExpression::CaseInsensitiveOption);
        const auto m =
            rangeForm.match(QString::fromLatin1(reply->rawHeader("Content-Range").trimmed()));
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        const QByteArray validator = validatorOf(reply);
        const bool sameValidator = validator.isEmpty() || validator == identity_.validator;
        const bool continues =
            m.hasMatch() && m.captured(1).toLongLong() == offset_ &&
            m.captured(3).toLongLong() == identity_.total &&
            m.captured(2).toLongLong() == identity_.total - 1 &&
            (!length.isValid() || length.toLongLong() == identity_.total - offset_) &&
            sameValidator;
        if (!continues) {
            startOver(tr("The server at %1 did not continue the file where the download stopped.")
                          .arg(address));
            return;
        }
        QString error;
        if (!partial_->reopen(offset_, &error)) {
            startOver(error);
            return;
        }
        writing_ = true;
        return;
    }
    if (status == 416 && rangeAsked_) {
        startOver(
            tr("The server at %1 has nothing after the %2 kept.").arg(address, megabytes(offset_)));
        return;
    }
    if (status == 206) {
        fail(DownloadFailure::Refused,
             tr("The server at %1 sent a part of the file that was not asked for.").arg(address));
        return;
    }
    if (status < 200 || status > 299)
        return; // an error page: kept in memory for the message, never in the file
    // The whole file, from its first byte: a new one, or the server does not continue.
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    identity_.address = firstUrl_;
    identity_.published = target_.publishedHash;
    identity_.validator = validatorOf(reply);
    identity_.total = length.isValid() ? length.toLongLong() : -1;
    offset_ = 0;
    QString error;
    if (!partial_->restart(identity_, &error)) {
        failSaving(error);
        return;
    }
    writing_ = true;
}

bool FileDownloader::takeBody(QNetworkReply* reply)
{
    const qint64 available = reply->bytesAvailable();
    if (available <= 0)
        return true;
    if (!checkSize(reply, offset_ + written_ + available))
        return false;
    const QByteArray bytes = reply->read(available);
    bytesThisWindow_ += bytes.size();
    bytesArrived_ += bytes.size();
    QString error;
    if (!partial_->append(bytes.constData(), bytes.size(), &error)) {
        failSaving(error);
        return false;
    }
    written_ += bytes.size();
    if (bytesArrived_ - progressMark_ >= limits_.progressBytes) {
        progressMark_ = bytesArrived_;
        progressTimer_.start();
    }
    return true;
}

void FileDownloader::connectionLost(const QString& reason, DownloadFailure kind)
{
    if (finished_)
        return;
    dropCurrentReply();
    stallTimer_.stop();
    speedTimer_.stop();
    partial_->close();
    // Continued next time only with what the server can be asked to confirm.
    offset_ = continuable() ? partial_->size() : 0;
    if (attempt_ > static_cast<int>(pauses_.size())) {
        fail(kind, reason + QLatin1Char('\n') + attemptsSummary());
        return;
    }
    const int pause = pauses_[static_cast<std::size_t>(attempt_ - 1)];
    ++attempt_;
    retryTimer_.start(qMax(pause, 0));
    emit retrying(attempt_, static_cast<int>(pauses_.size()) + 1, offset_, reason);
}

void FileDownloader::startOver(const QString& reason)
{
    dropCurrentReply();
    partial_->discard();
    identity_ = PartialIdentity();
    offset_ = 0;
    if (attempt_ > static_cast<int>(pauses_.size())) {
        fail(DownloadFailure::Refused, reason);
        return;
    }
    ++attempt_;
    emit retrying(attempt_, static_cast<int>(pauses_.size()) + 1, 0, reason);
    // Not from inside the dropped reply's signal.
    retryTimer_.start(0);
}

void FileDownloader::nextAttempt()
{
    if (finished_)
        return;
    // Each attempt follows the redirects afresh: a file host's links are often short-lived.
    hops_ = 0;
    startRequest(firstUrl_);
}

void FileDownloader::checkSpeed()
{
    if (finished_ || !currentReply)
        return;
    if (bytesThisWindow_ >= limits_.minBytesPerWindow) {
        bytesThisWindow_ = 0;
        return;
    }
    stall(tr("The transfer from %1 was too slow: less than %2 arrived in %3 seconds.")
              .arg(currentReply->url().toDisplayString(), megabytes(limits_.minBytesPerWindow),
                   QString::number(limits_.speedWindowMs / 1000.0)));
}

void FileDownloader::noProgress()
{
    if (finished_)
        return;
    // Whether an attempt is under way or waits for its turn: a server that has not sent enough
    // for this long will not be saved by more attempts. One that waits is not made.
    if (retryTimer_.isActive())
        --attempt_;
    fail(DownloadFailure::NoProgress,
         tr("The server stopped sending %1, or sends it too slowly: less than %2 arrived in %3 "
            "seconds.")
                 .arg(firstUrl_.toDisplayString(), megabytes(limits_.progressBytes),
                      QString::number(limits_.progressBudgetMs / 1000.0)) +
             QLatin1Char('\n') + attemptsSummary());
}

void FileDownloader::onProgress(QNetworkReply* reply, qint64 received, qint64 total)
{
    if (reply != currentReply || finished_)
        return;
    stallTimer_.start();
    if (partial_) {
        // Only the file's own bytes count, and they count from the file's start.
        if (!writing_)
            return;
        received += offset_;
        total = identity_.total > 0 ? identity_.total : (total >= 0 ? total + offset_ : -1);
    }
    if (!checkSize(reply, qMax(received, total)))
        return;
    if (progress)
        progress(received, total);
}

bool FileDownloader::checkSize(QNetworkReply* reply, qint64 bytes)
{
    if (limits_.maxBytes < 0 || bytes <= limits_.maxBytes)
        return true;
    fail(DownloadFailure::Refused, tooLarge(reply));
    // Nothing of an oversized file is worth keeping.
    if (partial_)
        partial_->discard();
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
            failure_ = tr("The server at %1 sent the download on to \"%2\", which is not an http "
                          "or https address.")
                           .arg(pReply->url().toDisplayString(), target.toDisplayString());
            failureKind_ = DownloadFailure::Refused;
            finish();
        } else if (++hops_ > limits_.maxRedirects) {
            failure_ = tr("The server at %1 sent the download on to other addresses more than %2 "
                          "times.")
                           .arg(firstUrl_.toDisplayString(), QString::number(limits_.maxRedirects));
            failureKind_ = DownloadFailure::Refused;
            finish();
        } else {
            startRequest(target);
        }
        return;
    }

    if (pReply->isRunning())
        return;
    if (partial_) {
        finishFile(pReply);
        return;
    }
    received_.append(pReply->readAll());
    data.append(received_);
    received_.clear();
    failure_ = checkFinishedReply(pReply, data.size());
    if (!failure_.isEmpty())
        failureKind_ =
            pReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid() &&
                    (pReply->error() == QNetworkReply::NoError || !connectionError(pReply->error()))
                ? DownloadFailure::Refused
                : DownloadFailure::Connection;
    if (limits_.maxBytes >= 0 && data.size() > limits_.maxBytes) {
        failure_ = tooLarge(pReply);
        failureKind_ = DownloadFailure::Refused;
        httpStatus_ = 0;
        data.clear();
    }
    pReply->deleteLater();
    finish();
}

void FileDownloader::finishFile(QNetworkReply* reply)
{
    takeAnswer(reply);
    if (finished_ || reply != currentReply)
        return; // refused, or started over
    if (writing_) {
        if (!takeBody(reply))
            return;
    } else {
        received_.append(reply->readAll());
    }
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const QString problem = checkFinishedReply(reply, writing_ ? written_ : received_.size());
    if (!writing_) {
        // No file came: an error page, or no answer at all.
        if (!status.isValid() && connectionError(reply->error())) {
            connectionLost(problem);
            return;
        }
        data = received_;
        received_.clear();
        currentReply = nullptr;
        reply->deleteLater();
        releasePartial();
        failure_ = problem.isEmpty()
                       ? tr("The server at %1 sent no file.").arg(reply->url().toDisplayString())
                       : problem;
        failureKind_ = DownloadFailure::Refused;
        finish();
        return;
    }
    if (!problem.isEmpty()) {
        connectionLost(problem);
        return;
    }
    if (identity_.total >= 0 && partial_->size() != identity_.total) {
        connectionLost(tr("The transfer from %1 ended after %2 of %3.")
                           .arg(reply->url().toDisplayString(), megabytes(partial_->size()),
                                megabytes(identity_.total)));
        return;
    }
    currentReply = nullptr;
    reply->deleteLater();
    if (partial_->size() == 0) {
        // Nothing to check or keep; saying so beats calling it the wrong file.
        partial_->discard();
        failure_ = tr("The server sent an empty file for %1.").arg(firstUrl_.toDisplayString());
        failureKind_ = DownloadFailure::Refused;
        finish();
        return;
    }
    const PartialDownload::Finished done =
        partial_->finish(target_.publishedHash, limits_.maxBytes, target_.publishedDigest);
    switch (done.outcome) {
    case PartialDownload::Outcome::Stored:
        data = done.bytes;
        dataHash_ = done.hash;
        break;
    case PartialDownload::Outcome::Mismatch:
        failure_ = tr("The file from %1 is not the one the server announced (its hash differs).")
                       .arg(firstUrl_.toDisplayString());
        failureKind_ = DownloadFailure::Mismatch;
        break;
    case PartialDownload::Outcome::Failed:
        failure_ = tr("The download could not be stored: %1").arg(done.error);
        failureKind_ = DownloadFailure::Storage;
        break;
    }
    finish();
}

QString FileDownloader::checkFinishedReply(QNetworkReply* reply, qint64 bodyBytes)
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
            httpStatus_ = code;
            httpReason_ = reason;
            return reason.isEmpty()
                       ? tr("The server answered %1 for %2.").arg(QString::number(code), address)
                       : tr("The server answered %1 (%2) for %3.")
                             .arg(QString::number(code), reason, address);
        }
    }
    if (reply->error() != QNetworkReply::NoError)
        return tr("The transfer from %1 failed: %2.").arg(address, reply->errorString());
    // Bodies arrive as sent (compressed or not), so the announced length counts the same bytes.
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    if (announced.isValid() && bodyBytes < announced.toLongLong()) {
        return tr("The transfer from %1 ended after %2 of %3.")
            .arg(address, megabytes(bodyBytes), megabytes(announced.toLongLong()));
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
    stopTimers();
    if (partial_)
        partial_->close();
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
    r.failure = r.ok ? DownloadFailure::None : failureKind_;
    if (r.failure == DownloadFailure::Refused) {
        r.httpStatus = httpStatus_;
        r.httpReason = httpReason_;
    }
    if (partial_ && r.ok)
        r.savedTo = target_.finalPath;
    if (r.ok)
        r.dataHash = dataHash_;
    r.resumedFrom = resumedFrom_;
    r.attempts = attempt_;
    return r;
}
