#include "distribution/FileDownloader.h"

#include <QNetworkReply>
#include <QNetworkRequest>

FileDownloader::FileDownloader(QUrl url, ProgressCallback progressCallback, QObject* parent)
    : QObject(parent), progress(std::move(progressCallback))
{
    qRegisterMetaType<QNetworkReply*>("QNetworkReply*");
    connect(&networkManager, SIGNAL(finished(QNetworkReply*)), this,
            SLOT(fileDownloaded(QNetworkReply*)));
    startRequest(url);
}

QByteArray FileDownloader::downloadedData() const
{
    return data;
}

void FileDownloader::startRequest(const QUrl& url)
{
    currentReply = networkManager.get(QNetworkRequest(url));
    connect(currentReply, &QNetworkReply::downloadProgress, progress);
}

void FileDownloader::fileDownloaded(QNetworkReply* pReply)
{
    const QUrl redirect = pReply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
    if (!redirect.isEmpty()) {
        startRequest(redirect);
        pReply->deleteLater();
        return;
    }
    if (pReply->isRunning() || pReply != currentReply)
        return;
    data.append(pReply->readAll());
    pReply->deleteLater();
    emit downloaded();
}
