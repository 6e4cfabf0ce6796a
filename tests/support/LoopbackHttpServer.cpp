#include "LoopbackHttpServer.h"

#include <QHostAddress>
#include <QTest>

namespace {
QByteArray reasonPhrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 404:
        return "Not Found";
    case 413:
        return "Payload Too Large";
    case 429:
        return "Too Many Requests";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

// Decodes a complete chunked body starting at `offset`; false while more bytes are needed.
bool decodeChunked(const QByteArray& buffer, qsizetype offset, QByteArray& body, qsizetype& end) {
    body.clear();
    qsizetype position = offset;
    while (true) {
        const qsizetype lineEnd = buffer.indexOf("\r\n", position);
        if (lineEnd < 0) {
            return false;
        }
        bool ok = false;
        const qsizetype size =
            buffer.mid(position, lineEnd - position).split(';').first().trimmed().toLongLong(&ok, 16);
        if (!ok) {
            return false;
        }
        position = lineEnd + 2;
        if (size == 0) {
            // Trailers end with an empty line.
            const qsizetype trailerEnd = buffer.indexOf("\r\n\r\n", position - 2);
            if (trailerEnd < 0) {
                return false;
            }
            end = trailerEnd + 4;
            return true;
        }
        if (buffer.size() < position + size + 2) {
            return false;
        }
        body.append(buffer.mid(position, size));
        position += size + 2;
    }
}
} // namespace

QByteArray LoopbackHttpServer::Request::header(const QByteArray& name) const {
    const QByteArray lower = name.toLower();
    for (const auto& [key, value] : headers) {
        if (key == lower) {
            return value;
        }
    }
    return {};
}

bool LoopbackHttpServer::Request::hasHeader(const QByteArray& name) const {
    const QByteArray lower = name.toLower();
    return std::any_of(headers.begin(), headers.end(), [&](const auto& pair) { return pair.first == lower; });
}

LoopbackHttpServer::LoopbackHttpServer(quint16 port, QObject* parent)
    : QObject(parent) {
    connect(&server_, &QTcpServer::newConnection, this, &LoopbackHttpServer::acceptConnections);
    server_.listen(QHostAddress::LocalHost, port);
}

LoopbackHttpServer::~LoopbackHttpServer() {
    for (QTcpSocket* socket : buffers_.keys()) {
        socket->disconnect(this);
        socket->abort();
        delete socket;
    }
}

QUrl LoopbackHttpServer::url(const QString& path) const {
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(QStringLiteral("127.0.0.1"));
    url.setPort(port());
    url.setPath(path);
    return url;
}

void LoopbackHttpServer::enqueueStatuses(std::initializer_list<int> statuses) {
    statuses_.insert(statuses_.end(), statuses.begin(), statuses.end());
}

void LoopbackHttpServer::releaseResponses() {
    holding_ = false;
    const QList<HeldResponse> held = std::exchange(held_, {});
    for (const HeldResponse& response : held) {
        if (response.socket) {
            respond(response.socket, response.status, response.closeAfter);
        }
    }
}

bool LoopbackHttpServer::waitForRequest(std::chrono::milliseconds timeout) {
    return QTest::qWaitFor([this] { return !untaken_.empty(); }, static_cast<int>(timeout.count()));
}

LoopbackHttpServer::Request LoopbackHttpServer::takeRequest() {
    if (untaken_.empty()) {
        return {};
    }
    Request request = std::move(untaken_.front());
    untaken_.pop_front();
    return request;
}

void LoopbackHttpServer::acceptConnections() {
    while (QTcpSocket* socket = server_.nextPendingConnection()) {
        // The server owns its sockets; they go when the peer closes.
        socket->setParent(nullptr);
        buffers_.insert(socket, {});
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readFrom(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            buffers_.remove(socket);
            socket->deleteLater();
        });
    }
}

void LoopbackHttpServer::readFrom(QTcpSocket* socket) {
    QByteArray& buffer = buffers_[socket];
    buffer.append(socket->readAll());
    Request request;
    bool closeAfter = false;
    while (parseRequest(buffer, request, closeAfter)) {
        requests_.append(request);
        untaken_.push_back(request);
        int status = defaultStatus_;
        if (!statuses_.empty()) {
            status = statuses_.front();
            statuses_.pop_front();
        }
        if (holding_) {
            held_.append({socket, status, closeAfter});
        } else {
            respond(socket, status, closeAfter);
        }
        emit requestReceived();
        if (closeAfter) {
            break;
        }
    }
}

bool LoopbackHttpServer::parseRequest(QByteArray& buffer, Request& request, bool& closeAfter) {
    const qsizetype headerEnd = buffer.indexOf("\r\n\r\n");
    if (headerEnd < 0) {
        return false;
    }
    const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    Request parsed;
    parsed.method = requestLine.value(0);
    parsed.target = requestLine.value(1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon > 0) {
            parsed.headers.append(
                {lines[i].left(colon).trimmed().toLower(), lines[i].mid(colon + 1).trimmed()});
        }
    }
    const qsizetype bodyStart = headerEnd + 4;
    qsizetype end = bodyStart;
    if (parsed.header("transfer-encoding").toLower().contains("chunked")) {
        if (!decodeChunked(buffer, bodyStart, parsed.body, end)) {
            return false;
        }
    } else {
        const qsizetype length = parsed.header("content-length").toLongLong();
        if (buffer.size() < bodyStart + length) {
            return false;
        }
        parsed.body = buffer.mid(bodyStart, length);
        end = bodyStart + length;
    }
    buffer.remove(0, end);
    parsed.json = QJsonDocument::fromJson(parsed.body);
    closeAfter = parsed.header("connection").toLower() == "close";
    request = std::move(parsed);
    return true;
}

void LoopbackHttpServer::respond(QTcpSocket* socket, int status, bool closeAfter) {
    QByteArray response = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n";
    response += "Content-Type: application/json\r\n";
    response += "Content-Length: " + QByteArray::number(responseBody_.size()) + "\r\n";
    response += closeAfter ? "Connection: close\r\n" : "Connection: keep-alive\r\n";
    response += "\r\n" + responseBody_;
    socket->write(response);
    if (closeAfter) {
        socket->disconnectFromHost();
    }
}
