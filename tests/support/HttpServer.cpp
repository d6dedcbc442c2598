#include "tests/support/HttpServer.h"

#include <memory>

#include <QHostAddress>
#include <QPointer>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTimer>

namespace {

// The value of header `name` (any case) in a request's header block; null when absent.
QByteArray headerIn(const QByteArray& head, const QByteArray& name)
{
    const QList<QByteArray> lines = head.split('\n');
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines[i].indexOf(':');
        if (colon > 0 && lines[i].left(colon).trimmed().toLower() == name.toLower())
            return lines[i].mid(colon + 1).trimmed();
    }
    return QByteArray();
}

QByteArray headerOf(const HttpResponse& r, const QByteArray& name)
{
    for (const auto& [n, value] : r.headers)
        if (n.toLower() == name.toLower())
            return value;
    return QByteArray();
}

QByteArray phrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 307:
        return "Temporary Redirect";
    case 308:
        return "Permanent Redirect";
    case 403:
        return "Forbidden";
    case 206:
        return "Partial Content";
    case 404:
        return "Not Found";
    case 416:
        return "Range Not Satisfiable";
    case 500:
        return "Internal Server Error";
    default:
        return "Status";
    }
}

} // namespace

HttpResponse HttpResponse::ok(const QByteArray& body)
{
    HttpResponse r;
    r.body = body;
    return r;
}

HttpResponse HttpResponse::error(int status, const QByteArray& body)
{
    HttpResponse r;
    r.status = status;
    r.headers.emplace_back("Content-Type", "text/html");
    r.body = body;
    return r;
}

HttpResponse HttpResponse::redirect(const QByteArray& location, int status)
{
    HttpResponse r;
    r.status = status;
    r.headers.emplace_back("Location", location);
    r.body = "<html><body>moved</body></html>";
    return r;
}

HttpServer::HttpServer()
{
    connect(&server_, &QTcpServer::newConnection, this, &HttpServer::accept);
}

HttpServer::~HttpServer() = default;

bool HttpServer::listen()
{
    return server_.listen(QHostAddress(QHostAddress::LocalHost), 0);
}

QUrl HttpServer::url(const QByteArray& path) const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(port()) + QString::fromLatin1(path));
}

void HttpServer::setResponse(const QByteArray& path, const HttpResponse& response)
{
    responses_[path] = response;
}

int HttpServer::requestCount(const QByteArray& path) const
{
    int n = 0;
    for (const QByteArray& p : requests_)
        n += p == path ? 1 : 0;
    return n;
}

QByteArray HttpServer::requestHeader(const QByteArray& path, const QByteArray& name) const
{
    const auto it = traffic_.find(path);
    if (it == traffic_.end())
        return QByteArray();
    return headerIn(it->second.lastRequest, name);
}

std::vector<QByteArray> HttpServer::requestHeaders(const QByteArray& path,
                                                   const QByteArray& name) const
{
    std::vector<QByteArray> values;
    const auto it = traffic_.find(path);
    if (it != traffic_.end())
        for (const QByteArray& head : it->second.heads)
            values.push_back(headerIn(head, name));
    return values;
}

std::vector<int> HttpServer::statuses(const QByteArray& path) const
{
    const auto it = traffic_.find(path);
    return it == traffic_.end() ? std::vector<int>() : it->second.statuses;
}

qint64 HttpServer::bytesSent(const QByteArray& path) const
{
    const auto it = traffic_.find(path);
    return it == traffic_.end() ? 0 : it->second.bytesSent;
}

int HttpServer::closedByClient(const QByteArray& path) const
{
    const auto it = traffic_.find(path);
    return it == traffic_.end() ? 0 : it->second.closedByClient;
}

void HttpServer::accept()
{
    while (QTcpSocket* socket = server_.nextPendingConnection()) {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readRequest(socket); });
        connect(socket, &QTcpSocket::bytesWritten, this, [this, socket](qint64 bytes) {
            if (socket->property("answered").toBool())
                traffic_[socket->property("path").toByteArray()].bytesSent += bytes;
        });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            if (socket->property("answered").toBool() && !socket->property("done").toBool())
                ++traffic_[socket->property("path").toByteArray()].closedByClient;
        });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void HttpServer::readRequest(QTcpSocket* socket)
{
    // The request so far lives on the socket until its header block is complete.
    QByteArray buffer = socket->property("request").toByteArray() + socket->readAll();
    if (socket->property("answered").toBool())
        return;
    const int end = buffer.indexOf("\r\n\r\n");
    if (end < 0) {
        socket->setProperty("request", buffer);
        return;
    }
    const QList<QByteArray> requestLine = buffer.left(buffer.indexOf("\r\n")).split(' ');
    QByteArray path = requestLine.size() >= 2 ? requestLine[1] : QByteArray("/");
    const int query = path.indexOf('?');
    if (query >= 0)
        path.truncate(query);
    requests_.push_back(path);
    const QByteArray head = buffer.left(end);
    traffic_[path].lastRequest = head;
    traffic_[path].heads.push_back(head);
    socket->setProperty("path", path);
    socket->setProperty("answered", true);

    Slice slice;
    const HttpResponse response = answerFor(path, head, &slice);
    traffic_[path].statuses.push_back(response.status);
    if (response.delayMs > 0) {
        QPointer<QTcpSocket> guard(socket);
        QTimer::singleShot(response.delayMs, this, [this, guard, response, slice] {
            if (guard)
                respond(guard, response, slice);
        });
    } else {
        respond(socket, response, slice);
    }
}

HttpResponse HttpServer::answerFor(const QByteArray& path, const QByteArray& head, Slice* slice)
{
    const auto it = responses_.find(path);
    if (it == responses_.end())
        return HttpResponse::error(404, "<html><head><title>404 Not Found</title></head>"
                                        "<body><h1>Not Found</h1></body></html>");
    HttpResponse r = it->second;
    const qint64 size = r.body.size();
    if (r.ranges && r.status == 200) {
        r.headers.emplace_back("Accept-Ranges", "bytes");
        static const QRegularExpression form(QStringLiteral(R"(^bytes=(\d+)-$)"));
        const auto m = form.match(QString::fromLatin1(headerIn(head, "Range")));
        const QByteArray ifRange = headerIn(head, "If-Range");
        QByteArray validator = headerOf(r, "ETag");
        if (validator.isNull())
            validator = headerOf(r, "Last-Modified");
        if (m.hasMatch() && (ifRange.isNull() || r.ignoreIfRange || ifRange == validator)) {
            const qint64 from = m.captured(1).toLongLong();
            if (from >= size) {
                r.status = 416;
                r.headers.emplace_back("Content-Range", "bytes */" + QByteArray::number(size));
                r.body.clear();
                r.contentLength = -2;
                return r;
            }
            r.status = 206;
            r.headers.emplace_back("Content-Range", "bytes " + QByteArray::number(from) + '-' +
                                                        QByteArray::number(size - 1) + '/' +
                                                        QByteArray::number(size));
            r.contentLength = size - from;
            slice->from = from;
        }
    }
    std::vector<qint64>& drops = it->second.dropAt;
    while (!drops.empty()) {
        const qint64 at = drops.front();
        if (at <= slice->from) {
            drops.erase(drops.begin());
            continue;
        }
        if (at < size) {
            slice->to = at;
            slice->drop = true;
            drops.erase(drops.begin());
        }
        break;
    }
    return r;
}

void HttpServer::respond(QTcpSocket* socket, const HttpResponse& response, Slice slice)
{
    if (response.delivery == HttpResponse::Delivery::StallBeforeHeaders)
        return;
    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' +
                      (response.reason.isEmpty() ? phrase(response.status) : response.reason) +
                      "\r\n";
    const qint64 length =
        response.contentLength == -2 ? response.body.size() : response.contentLength;
    if (response.chunked)
        head += "Transfer-Encoding: chunked\r\n";
    else if (length >= 0)
        head += "Content-Length: " + QByteArray::number(length) + "\r\n";
    for (const auto& [name, value] : response.headers)
        head += name + ": " + value + "\r\n";
    head += "Connection: close\r\n\r\n";
    socket->write(head);

    if (response.delivery == HttpResponse::Delivery::Endless) {
        connect(socket, &QTcpSocket::bytesWritten, this,
                [this, socket, response] { sendEndless(socket, response); });
        sendEndless(socket, response);
        return;
    }
    const bool half = response.delivery == HttpResponse::Delivery::StallMidBody ||
                      response.delivery == HttpResponse::Delivery::CloseMidBody;
    const qint64 end =
        slice.to >= 0 ? slice.to : (half ? response.body.size() / 2 : response.body.size());
    if (response.chunkSize <= 0 && !response.chunked)
        sendPaced(socket, response, slice.from, end, slice.drop);
    else
        sendBody(socket, response, slice.from, end);
}

void HttpServer::sendPaced(QTcpSocket* socket, const HttpResponse& response, qint64 offset,
                           qint64 end, bool drop)
{
    // Written as the system takes it, so that a large body is not copied whole into the socket's
    // buffer, and a connection dropped at an offset has sent exactly the bytes before it.
    auto* pump = new QObject(socket);
    auto position = std::make_shared<qint64>(offset);
    auto done = std::make_shared<bool>(false);
    const auto step = [this, socket, response, position, done, end, drop, pump] {
        if (*done)
            return;
        while (*position < end && socket->state() == QAbstractSocket::ConnectedState &&
               socket->bytesToWrite() < (1 << 20)) {
            const qint64 n = qMin<qint64>(256 * 1024, end - *position);
            socket->write(response.body.constData() + *position, n);
            *position += n;
        }
        if (*position < end && socket->state() == QAbstractSocket::ConnectedState)
            return;
        *done = true;
        pump->deleteLater();
        if (drop) {
            socket->setProperty("done", true);
            socket->disconnectFromHost();
        } else {
            finishResponse(socket, response);
        }
    };
    connect(socket, &QTcpSocket::bytesWritten, pump, step);
    step();
}

void HttpServer::sendBody(QTcpSocket* socket, const HttpResponse& response, qint64 offset,
                          qint64 end)
{
    if (offset < end) {
        const qint64 piece =
            response.chunkSize > 0 ? qMin<qint64>(response.chunkSize, end - offset) : end - offset;
        writePiece(socket, response,
                   response.body.mid(static_cast<int>(offset), static_cast<int>(piece)));
        offset += piece;
        if (offset < end) {
            QPointer<QTcpSocket> guard(socket);
            QTimer::singleShot(qMax(response.chunkDelayMs, 0), this,
                               [this, guard, response, offset, end] {
                                   if (guard)
                                       sendBody(guard, response, offset, end);
                               });
            return;
        }
    }
    finishResponse(socket, response);
}

void HttpServer::sendEndless(QTcpSocket* socket, const HttpResponse& response)
{
    // Kept a little ahead of what the system takes, so the server's own memory stays small
    // however long the client reads.
    const QByteArray piece = response.body.isEmpty() ? QByteArray(64 * 1024, 'e') : response.body;
    for (int i = 0; i < 64 && socket->state() == QAbstractSocket::ConnectedState &&
                    socket->bytesToWrite() < 256 * 1024;
         ++i)
        writePiece(socket, response, piece);
}

void HttpServer::writePiece(QTcpSocket* socket, const HttpResponse& response,
                            const QByteArray& piece)
{
    if (response.chunked && !piece.isEmpty())
        socket->write(QByteArray::number(piece.size(), 16) + "\r\n" + piece + "\r\n");
    else
        socket->write(piece);
}

void HttpServer::finishResponse(QTcpSocket* socket, const HttpResponse& response)
{
    if (response.delivery == HttpResponse::Delivery::StallMidBody)
        return;
    if (response.chunked && response.delivery == HttpResponse::Delivery::Complete)
        socket->write("0\r\n\r\n");
    // What follows is the server's own doing, not the client's.
    socket->setProperty("done", true);
    socket->disconnectFromHost();
}
