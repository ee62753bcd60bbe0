#include "web/http_guard.h"

#include <QTcpSocket>
#include <algorithm>

namespace qm25::web {
namespace {

bool isTokenChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
           || QByteArrayView("!#$%&'*+-.^_`|~").contains(c);
}

bool allOf(QByteArrayView bytes, bool (*ok)(char)) { return std::all_of(bytes.begin(), bytes.end(), ok); }

// The methods the server knows; others get 501.
const QByteArrayList kMethods{"GET", "HEAD", "POST", "PUT", "DELETE", "OPTIONS", "PATCH"};

}  // namespace

QByteArray RequestHead::header(const QByteArray &lowerName) const
{
    for (const auto &[name, value] : headers)
        if (name == lowerName)
            return value;
    return {};
}

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 409: return "Conflict";
    case 413: return "Content Too Large";
    case 414: return "URI Too Long";
    case 421: return "Misdirected Request";
    case 426: return "Upgrade Required";
    case 429: return "Too Many Requests";
    case 431: return "Request Header Fields Too Large";
    case 501: return "Not Implemented";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    case 505: return "HTTP Version Not Supported";
    }
    return "Unknown";
}

QByteArray httpResponse(int status, const QByteArray &contentType, const QByteArray &body, bool close,
                        const QByteArray &extraHeaders, bool headOnly)
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n";
    if (!contentType.isEmpty())
        out += "Content-Type: " + contentType + "\r\n";
    out += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    out += "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n";
    if (close)
        out += "Connection: close\r\n";
    out += extraHeaders + "\r\n";
    if (!headOnly)
        out += body;
    return out;
}

HttpGuard::HttpGuard(QTcpSocket *socket, UpgradeCheck check) : QObject(socket), socket_(socket), check_(std::move(check))
{
    connect(socket_, &QTcpSocket::readyRead, this, &HttpGuard::inspect);
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, [this] {
        switch (state_) {
        case State::Head:
            if (head_.isEmpty())
                closeQuietly();
            else
                refuse({408, QStringLiteral("the request did not come whole within %1 s").arg(kRequestSeconds)});
            break;
        case State::Body:
            refuse({408, QStringLiteral("the request did not come whole within %1 s").arg(kRequestSeconds)});
            break;
        case State::Closing:
            socket_->abort();
            break;
        case State::Answering:
        case State::Upgraded:
            break;
        }
    });
    timer_.start(kIdleSeconds * 1000);
}

HttpGuard *HttpGuard::of(QTcpSocket *socket) { return socket ? socket->findChild<HttpGuard *>() : nullptr; }

void HttpGuard::inspect()
{
    const qint64 available = socket_->bytesAvailable();
    if (available <= 0 || state_ == State::Upgraded)
        return;
    if (state_ == State::Closing) {
        socket_->skip(available);
        return;
    }
    if (state_ == State::Answering) {
        // The answer owed goes out, then the connection closes; what came
        // meanwhile is not served.
        socket_->skip(available);
        state_ = State::Closing;
        emit refused(400, QStringLiteral("a request came before the answer to the one before: closed after that answer"));
        return;
    }
    const QByteArray bytes = socket_->peek(available);
    qsizetype pos = 0;
    while (pos < bytes.size()) {
        if (state_ == State::Head) {
            if (head_.isEmpty())
                timer_.start(kRequestSeconds * 1000);
            qsizetype used = 0;
            if (!readHead(QByteArrayView(bytes).sliced(pos), &used))
                return;
            pos += used;
        } else if (state_ == State::Body) {
            const qint64 take = std::min<qint64>(bodyLeft_, bytes.size() - pos);
            bodyLeft_ -= take;
            pos += take;
            if (bodyLeft_ == 0) {
                state_ = State::Answering;
                timer_.stop();
            }
        } else if (state_ == State::Upgraded) {
            return;
        } else {
            // Bytes beyond a whole request in the same piece: the server
            // would read both at once.
            refuse({400, QStringLiteral("one request at a time, please")});
            return;
        }
    }
}

bool HttpGuard::readHead(QByteArrayView bytes, qsizetype *used)
{
    const qsizetype before = head_.size();
    head_.append(bytes.first(std::min<qsizetype>(bytes.size(), kMaxHead + 4 - before)));
    // Each byte as it comes: a line ends CR LF, and nothing but printable
    // ASCII and tabs stands between.
    for (qsizetype i = std::max<qsizetype>(0, before - 1); i < head_.size(); ++i) {
        const char c = head_[i];
        const bool lineEnd = (c == '\r' && (i + 1 == head_.size() || head_[i + 1] == '\n'))
                             || (c == '\n' && i > 0 && head_[i - 1] == '\r');
        if (!lineEnd && (c < 0x20 || c > 0x7e) && c != '\t') {
            refuse({400, c == '\r' || c == '\n' ? QStringLiteral("a line that does not end CR LF")
                                                : QStringLiteral("bytes that are not printable ASCII")});
            return false;
        }
    }
    const qsizetype end = head_.indexOf("\r\n\r\n", std::max<qsizetype>(0, before - 3));
    if (end < 0 || end + 4 > kMaxHead) {
        if (head_.size() > kMaxHead) {
            refuse({431, QStringLiteral("the request's head is longer than %1 bytes").arg(kMaxHead)});
            return false;
        }
        *used = bytes.size();
        return true;
    }
    *used = end + 4 - before;
    head_.truncate(end + 2);  // the last header line keeps its CR LF
    if (const auto refusal = checkHead()) {
        refuse(*refusal);
        return false;
    }
    head_.clear();
    timer_.stop();
    if (upgrade_) {
        state_ = State::Upgraded;  // the WebSocket takes the connection over
    } else if (bodyLeft_ > 0) {
        state_ = State::Body;
        timer_.start(kRequestSeconds * 1000);
    } else {
        state_ = State::Answering;
    }
    return true;
}

std::optional<Refusal> HttpGuard::checkHead()
{
    // Every line ends CR LF (checked as the bytes came).
    const QByteArrayList lines = head_.chopped(2).split('\n');
    RequestHead head;
    QByteArray version;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        QByteArray line = lines[i];
        if (line.endsWith('\r'))
            line.chop(1);
        if (i == 0) {
            const QByteArrayList parts = line.split(' ');
            if (parts.size() != 3 || parts[0].isEmpty() || !allOf(parts[0], [](char c) { return c >= 'A' && c <= 'Z'; }))
                return Refusal{400, QStringLiteral("no HTTP request line")};
            if (parts[1].size() > kMaxTarget)
                return Refusal{414, QStringLiteral("the path is longer than %1 bytes").arg(kMaxTarget)};
            if (!parts[1].startsWith('/') || parts[1].contains('\t'))
                return Refusal{400, QStringLiteral("no path")};
            if (parts[2] != "HTTP/1.1" && parts[2] != "HTTP/1.0")
                return Refusal{505, QStringLiteral("HTTP/1.1 and 1.0 only")};
            if (!kMethods.contains(parts[0]))
                return Refusal{501, QStringLiteral("an unknown method")};
            head.method = parts[0];
            head.target = parts[1];
            version = parts[2];
            continue;
        }
        if (head.headers.size() >= kMaxHeaderLines)
            return Refusal{431, QStringLiteral("more than %1 header lines").arg(kMaxHeaderLines)};
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0 || !allOf(QByteArrayView(line).first(colon), isTokenChar))
            return Refusal{400, QStringLiteral("a malformed header line")};
        head.headers.append({line.left(colon).toLower(), line.mid(colon + 1).trimmed()});
    }
    if (head.header("host").isEmpty() && version == "HTTP/1.1")
        return Refusal{400, QStringLiteral("no Host header")};
    // HTTP/1.0 closes after each answer, unless it asks to keep the connection.
    closeAfterAnswer_ = version == "HTTP/1.0" && head.header("connection").toLower() != "keep-alive";
    if (!head.header("transfer-encoding").isEmpty())
        return Refusal{501, QStringLiteral("no Transfer-Encoding is taken: send Content-Length")};
    int lengths = 0;
    bodyLeft_ = 0;
    for (const auto &[name, value] : head.headers) {
        if (name != "content-length")
            continue;
        if (++lengths > 1 || value.isEmpty() || value.size() > 12 || !allOf(value, [](char c) { return c >= '0' && c <= '9'; }))
            return Refusal{400, QStringLiteral("a malformed Content-Length")};
        bodyLeft_ = value.toLongLong();
        if (bodyLeft_ > kMaxBody)
            return Refusal{413, QStringLiteral("a body longer than %1 bytes").arg(kMaxBody)};
    }
    const QByteArray upgrade = head.header("upgrade").toLower();
    upgrade_ = !upgrade.isEmpty();
    if (upgrade_) {
        if (upgrade != "websocket" || head.method != "GET" || bodyLeft_ > 0)
            return Refusal{400, QStringLiteral("only a WebSocket upgrade, by GET")};
        if (check_)
            return check_(head);
    }
    return std::nullopt;
}

void HttpGuard::answered(bool close)
{
    if (state_ == State::Closing || close || closeAfterAnswer_) {
        closeQuietly();
        return;
    }
    if (state_ == State::Answering) {
        state_ = State::Head;
        timer_.start(kIdleSeconds * 1000);
    }
}

void HttpGuard::refuse(const Refusal &refusal)
{
    socket_->skip(socket_->bytesAvailable());
    socket_->write(httpResponse(refusal.status, "text/plain; charset=utf-8", refusal.why.toUtf8() + '\n', true));
    emit refused(refusal.status, refusal.why);
    closeQuietly();
}

void HttpGuard::closeQuietly()
{
    state_ = State::Closing;
    head_.clear();
    timer_.start(5000);  // a client that takes nothing more is cut off
    socket_->disconnectFromHost();
}

GuardedServer::GuardedServer(HttpGuard::UpgradeCheck check, QObject *parent)
    : QTcpServer(parent), check_(std::move(check))
{
}

void GuardedServer::incomingConnection(qintptr handle)
{
    auto *socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(handle)) {
        delete socket;
        return;
    }
    const QString peer = QStringLiteral("%1:%2").arg(socket->peerAddress().toString()).arg(socket->peerPort());
    if (open_ >= kMaxConnections) {
        emit refused(peer, 503, QStringLiteral("%1 connections open already").arg(kMaxConnections));
        socket->write(httpResponse(503, "text/plain; charset=utf-8", "too many connections; try again later\n", true));
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        QTimer::singleShot(5000, socket, &QTcpSocket::abort);
        socket->disconnectFromHost();
        return;
    }
    ++open_;
    connect(socket, &QObject::destroyed, this, [this] { --open_; });
    auto *guard = new HttpGuard(socket, check_);
    connect(guard, &HttpGuard::refused, this, [this, peer](int status, const QString &why) { emit refused(peer, status, why); });
    addPendingConnection(socket);
}

}  // namespace qm25::web
