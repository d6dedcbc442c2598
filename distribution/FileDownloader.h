// Fetches one HTTP resource into memory, following redirects, and says once when it is done.
#pragma once

#include <functional>

#include <QByteArray>
#include <QNetworkAccessManager>
#include <QObject>
#include <QUrl>

class QNetworkReply;

class FileDownloader : public QObject
{
    Q_OBJECT

public:
    using ProgressCallback = std::function<void(qint64 bytesReceived, qint64 bytesTotal)>;

    FileDownloader(QUrl url, ProgressCallback progress, QObject* parent);

    QByteArray downloadedData() const;

signals:
    void downloaded();

private slots:
    void fileDownloaded(QNetworkReply* pReply);

private:
    void startRequest(const QUrl& url);

    QNetworkAccessManager networkManager;
    QByteArray data;
    QNetworkReply* currentReply = nullptr;
    ProgressCallback progress;
};
