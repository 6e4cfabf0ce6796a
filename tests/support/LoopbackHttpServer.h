#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonDocument>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>
#include <chrono>
#include <deque>
#include <initializer_list>

// A small HTTP/1.1 server on 127.0.0.1 that records every request and answers with chosen statuses, so a test
// can see exactly what a client sends without leaving the machine. Keep-alive connections, Content-Length and
// chunked bodies are understood. Lives on the thread that runs the event loop; waiting runs that loop.
class LoopbackHttpServer : public QObject {
    Q_OBJECT
public:
    struct Request {
        QByteArray method;
        QByteArray target;                            // path and query as sent
        QList<QPair<QByteArray, QByteArray>> headers; // names in lower case, in the order received
        QByteArray body;
        QJsonDocument json; // the body parsed as JSON; null when it is not JSON

        // The first value of a header (name in any case); empty when there is none.
        QByteArray header(const QByteArray& name) const;
        bool hasHeader(const QByteArray& name) const;
    };

    // Port 0 picks a free port. Check isListening(): a given port may be taken.
    explicit LoopbackHttpServer(quint16 port = 0, QObject* parent = nullptr);
    ~LoopbackHttpServer() override;

    bool isListening() const { return server_.isListening(); }
    QString errorString() const { return server_.errorString(); }
    quint16 port() const { return server_.serverPort(); }
    // http://127.0.0.1:<port><path>
    QUrl url(const QString& path = QStringLiteral("/")) const;

    // Statuses for the next requests, in order of arrival; once used up, the default status answers.
    void enqueueStatuses(std::initializer_list<int> statuses);
    void setDefaultStatus(int status) { defaultStatus_ = status; }
    void setResponseBody(const QByteArray& body) { responseBody_ = body; }

    // While held, requests are recorded (and their statuses chosen) but not answered, so a client's request
    // stays in flight until releaseResponses().
    void holdResponses() { holding_ = true; }
    void releaseResponses();

    // Every request so far, oldest first.
    const QList<Request>& requests() const { return requests_; }
    int requestCount() const { return static_cast<int>(requests_.size()); }

    // Runs the event loop until a request that has not been taken is there, or the timeout passes.
    bool waitForRequest(std::chrono::milliseconds timeout);
    // Removes and returns the oldest request not yet taken; an empty Request when there is none.
    Request takeRequest();
    int untakenRequestCount() const { return static_cast<int>(untaken_.size()); }

signals:
    void requestReceived();

private:
    struct HeldResponse {
        QPointer<QTcpSocket> socket;
        int status;
        bool closeAfter;
    };

    void acceptConnections();
    void readFrom(QTcpSocket* socket);
    // Takes one complete request off the front of `buffer`; false while it is incomplete.
    static bool parseRequest(QByteArray& buffer, Request& request, bool& closeAfter);
    void respond(QTcpSocket* socket, int status, bool closeAfter);

    QTcpServer server_;
    QHash<QTcpSocket*, QByteArray> buffers_;
    QList<Request> requests_;
    std::deque<Request> untaken_;
    std::deque<int> statuses_;
    int defaultStatus_ = 200;
    QByteArray responseBody_ = QByteArrayLiteral("{\"success\":true}");
    bool holding_ = false;
    QList<HeldResponse> held_;
};
