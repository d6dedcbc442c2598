// A small HTTP/1.1 server on 127.0.0.1 for tests: canned responses per path, redirects, slow,
// stalled, cut-off and endless bodies, chunked transfer coding, byte ranges (Range, If-Range) and
// connections dropped at given offsets of the body, a count of the requests it saw and of the
// bytes it sent. One response per connection; the connection is closed after it (unless
// the response is told to stall or never ends).
//
//   HttpServer server;
//   ASSERT_TRUE(server.listen());
//   server.setResponse("/patch.json", HttpResponse::ok(R"({"version":4})"));
//   server.setResponse("/old", HttpResponse::redirect("/patch.json"));
//   QUrl url = server.url("/old");   // http://127.0.0.1:<port>/old
//   ... server.requestCount("/patch.json") ...
//
// Paths without a response answer 404 with a small HTML page. It runs on the thread's event loop,
// so the test must let events run (QTest::qWaitFor) while a client talks to it.
#pragma once

#include <map>
#include <utility>
#include <vector>

#include <QByteArray>
#include <QObject>
#include <QTcpServer>
#include <QUrl>

class QTcpSocket;

struct HttpResponse
{
    enum class Delivery
    {
        Complete,           // headers and the whole body
        StallBeforeHeaders, // read the request, then send nothing and keep the connection open
        StallMidBody,       // headers and the first half of the body, then nothing, connection open
        CloseMidBody,       // headers and the first half of the body, then close the connection
        Endless, // headers, then the body over and over until the client closes the connection
    };

    int status = 200;
    QByteArray reason;                                      // empty: the usual phrase for `status`
    std::vector<std::pair<QByteArray, QByteArray>> headers; // extra headers, sent as given
    QByteArray body;
    qint64 contentLength = -2; // -2: the body's size; -1: no Content-Length header; else this value
    Delivery delivery = Delivery::Complete;
    int chunkSize = 0;    // > 0: the body goes out in pieces of this size...
    int chunkDelayMs = 0; // ...with this pause before each piece
    int delayMs = 0;      // pause before the response starts
    // The body goes out with "Transfer-Encoding: chunked" (each piece one chunk) and without
    // Content-Length, whatever `contentLength` says.
    bool chunked = false;
    // Byte ranges: "Range: bytes=N-" is answered 206 with the rest of the body, unless an If-Range
    // names another validator than this response's ETag (or Last-Modified) header; then the whole
    // body comes with 200. An N past the end gets 416.
    bool ranges = false;
    // A careless server: ranges are served whatever If-Range says.
    bool ignoreIfRange = false;
    // Offsets into the body at which the connection is closed, each once (whichever answer for
    // this path first covers it, in order; one already passed is dropped unused).
    std::vector<qint64> dropAt;

    static HttpResponse ok(const QByteArray& body);
    static HttpResponse error(int status, const QByteArray& body);
    // A redirect to `location`, sent as given (absolute or relative).
    static HttpResponse redirect(const QByteArray& location, int status = 302);
};

class HttpServer : public QObject
{
    Q_OBJECT

public:
    HttpServer();
    ~HttpServer() override;

    // Listens on 127.0.0.1 at a port the system picks.
    bool listen();
    quint16 port() const { return server_.serverPort(); }
    // "http://127.0.0.1:<port>" followed by `path` (which starts with "/").
    QUrl url(const QByteArray& path) const;

    // The answer for GET `path` (matched without the query string); replaces an earlier one.
    void setResponse(const QByteArray& path, const HttpResponse& response);

    // Requests seen for `path`, or for all paths.
    int requestCount(const QByteArray& path) const;
    int requestCount() const { return static_cast<int>(requests_.size()); }
    // Request paths in arrival order.
    const std::vector<QByteArray>& requests() const { return requests_; }
    // The value of header `name` (any case) in the latest request for `path`; null when the
    // request had no such header or there was no request.
    QByteArray requestHeader(const QByteArray& path, const QByteArray& name) const;
    // The value of header `name` in every request for `path`, in order (null where absent).
    std::vector<QByteArray> requestHeaders(const QByteArray& path, const QByteArray& name) const;
    // The status codes answered for `path`, in order.
    std::vector<int> statuses(const QByteArray& path) const;

    // Bytes (head and body) the system took from the server for the answers to `path`.
    qint64 bytesSent(const QByteArray& path) const;
    // Connections for `path` that the client closed before the server had sent its whole answer.
    int closedByClient(const QByteArray& path) const;

private:
    void accept();
    void readRequest(QTcpSocket* socket);
    // The part of the body an answer carries: [from, to), and whether the connection is dropped
    // at `to` instead of ending normally.
    struct Slice
    {
        qint64 from = 0;
        qint64 to = -1; // -1: as the delivery says
        bool drop = false;
    };
    HttpResponse answerFor(const QByteArray& path, const QByteArray& head, Slice* slice);
    void respond(QTcpSocket* socket, const HttpResponse& response, Slice slice);
    void sendBody(QTcpSocket* socket, const HttpResponse& response, qint64 offset, qint64 end);
    void sendPaced(QTcpSocket* socket, const HttpResponse& response, qint64 offset, qint64 end,
                   bool drop);
    void sendEndless(QTcpSocket* socket, const HttpResponse& response);
    void writePiece(QTcpSocket* socket, const HttpResponse& response, const QByteArray& piece);
    void finishResponse(QTcpSocket* socket, const HttpResponse& response);

    struct Traffic
    {
        QByteArray lastRequest; // header block of the latest request
        std::vector<QByteArray> heads;
        std::vector<int> statuses;
        qint64 bytesSent = 0;
        int closedByClient = 0;
    };

    QTcpServer server_;
    std::map<QByteArray, HttpResponse> responses_;
    std::vector<QByteArray> requests_;
    std::map<QByteArray, Traffic> traffic_;
};
