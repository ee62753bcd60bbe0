#include "web/http_guard.h"

#include <QTcpSocket>
#include <algorithm>

#include "gateway/peer.h"

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

qsizetype RequestScanner::feed(QByteArrayView bytes)
{
    qsizetype used = 0;
    if (state_ == State::Head && !readHead(bytes, &used))
        return used;
    if (state_ == State::Body) {
        const qint64 take = std::min<qint64>(bodyLeft_, bytes.size() - used);
        bodyLeft_ -= take;
        used += take;
        if (bodyLeft_ == 0)
            state_ = State::Whole;
    }
    return used;
}

void RequestScanner::next()
{
    *this = RequestScanner();
}

void RequestScanner::refuse(const Refusal &refusal)
{
    state_ = State::Refused;
    refusal_ = refusal;
}

bool RequestScanner::readHead(QByteArrayView bytes, qsizetype *used)
{
    const qsizetype before = head_.size();
    // One byte beyond the longest head is enough to know it is too long.
    head_.append(bytes.first(std::min<qsizetype>(bytes.size(), kMaxHead + 1 - before)));
    // Each byte as it comes, up to the blank line that ends the head: a
    // line ends CR LF, and nothing but printable ASCII and tabs stands
    // between. A CR that ended the last read is looked at again with the
    // byte that follows it.
    for (qsizetype i = std::max<qsizetype>(0, before - 1); i < head_.size(); ++i) {
        const char c = head_[i];
        const bool lineEnd = (c == '\r' && (i + 1 == head_.size() || head_[i + 1] == '\n'))
                             || (c == '\n' && i > 0 && head_[i - 1] == '\r');
        if (!lineEnd && (c < 0x20 || c > 0x7e) && c != '\t') {
            refuse({400, c == '\r' || c == '\n' ? QStringLiteral("a line that does not end CR LF")
                                                : QStringLiteral("bytes that are not printable ASCII")});
            return false;
        }
        if (c != '\n' || i < 3 || head_[i - 2] != '\n')
            continue;
        // CR LF CR LF: the head is whole.
        if (i + 1 > kMaxHead)
            break;
        *used = i + 1 - before;
        head_.truncate(i - 1);  // the last header line keeps its CR LF
        if (const auto refusal = checkHead()) {
            refuse(*refusal);
            return false;
        }
        head_.clear();
        state_ = bodyLeft_ > 0 ? State::Body : State::Whole;
        return true;
    }
    if (head_.size() > kMaxHead) {
        refuse({431, QStringLiteral("the request's head is longer than %1 bytes").arg(kMaxHead)});
        return false;
    }
    *used = bytes.size();
    return true;
}

std::optional<Refusal> RequestScanner::checkHead()
{
    // Every line ends CR LF (checked as the bytes came).
    const QByteArrayList lines = head_.chopped(2).split('\n');
    RequestHead &head = parsed_;
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
        if (upgrade != "websocket" || head.method != "GET" || version != "HTTP/1.1" || bodyLeft_ > 0)
            return Refusal{400, QStringLiteral("only a WebSocket upgrade, by GET over HTTP/1.1")};
        // Without it the HTTP server would take the request as an ordinary one.
        const QByteArrayList tokens = head.header("connection").split(',');
        if (std::none_of(tokens.begin(), tokens.end(),
                         [](const QByteArray &t) { return t.trimmed().compare("upgrade", Qt::CaseInsensitive) == 0; }))
            return Refusal{400, QStringLiteral("a WebSocket upgrade without \"Connection: Upgrade\"")};
    }
    return std::nullopt;
}

HttpGuard::HttpGuard(QTcpSocket *socket, UpgradeCheck check) : QObject(socket), socket_(socket), check_(std::move(check))
{
    connect(socket_, &QTcpSocket::readyRead, this, &HttpGuard::inspect);
    connect(socket_, &QTcpSocket::bytesWritten, this, [this] {
        if (paused_)
            timer_.start(kRequestSeconds * 1000);  // it takes them, slowly
        watchOutput();
    });
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, [this] {
        switch (state_) {
        case State::Reading:
            if (paused_) {
                emit refused(408, QStringLiteral("took none of the %1 bytes of answers waiting for it within %2 s: cut off")
                                      .arg(socket_->bytesToWrite()).arg(kRequestSeconds), true);
                socket_->abort();
            } else if (!scanner_.started()) {
                closeQuietly();
            } else {
                refuse({408, QStringLiteral("the request did not come whole within %1 s").arg(kRequestSeconds)});
            }
            break;
        case State::Upgraded:
            // The WebSocket server did not take it: nobody else will.
            emit refused(408, QStringLiteral("the WebSocket handshake did not end within %1 s: closed").arg(kRequestSeconds), true);
            socket_->abort();
            socket_->deleteLater();
            break;
        case State::Closing:
            socket_->abort();
            break;
        case State::Answering:
        case State::Live:
            break;
        }
    });
    timer_.start(kIdleSeconds * 1000);
}

HttpGuard *HttpGuard::of(QTcpSocket *socket) { return socket ? socket->findChild<HttpGuard *>() : nullptr; }

void HttpGuard::inspect()
{
    const qint64 available = socket_->bytesAvailable();
    if (available <= 0 || state_ == State::Upgraded || state_ == State::Live)
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
        emit refused(400, QStringLiteral("a request came before the answer to the one before: closed after that answer"), true);
        return;
    }
    const QByteArray bytes = socket_->peek(available);
    if (!scanner_.started() && !paused_)
        timer_.start(kRequestSeconds * 1000);
    const bool inHead = scanner_.state() == RequestScanner::State::Head;
    const qsizetype used = scanner_.feed(bytes);
    switch (scanner_.state()) {
    case RequestScanner::State::Refused:
        refuse(scanner_.refusal());
        return;
    case RequestScanner::State::Head:
        return;
    case RequestScanner::State::Body:
        if (inHead && !paused_)
            timer_.start(kRequestSeconds * 1000);  // the body has its own time
        return;
    case RequestScanner::State::Whole:
        break;
    }
    timer_.stop();
    closeAfterAnswer_ = scanner_.closeAfterAnswer();
    if (scanner_.upgrade()) {
        if (check_) {
            if (const auto refusal = check_(scanner_.head(), socket_->peerAddress(), socket_->peerPort())) {
                refuse(*refusal);
                return;
            }
        }
        // What follows is the WebSocket's.
        state_ = State::Upgraded;
        timer_.start(kRequestSeconds * 1000);
        return;
    }
    state_ = State::Answering;
    // Bytes beyond a whole request in the same piece: the server would
    // read both at once.
    if (used < bytes.size())
        refuse({400, QStringLiteral("one request at a time, please")});
}

void HttpGuard::answered(bool close)
{
    if (state_ == State::Closing || close || closeAfterAnswer_) {
        closeQuietly();
        return;
    }
    if (state_ == State::Answering) {
        state_ = State::Reading;
        scanner_.next();
        timer_.start(kIdleSeconds * 1000);
        watchOutput();
    }
}

void HttpGuard::watchOutput()
{
    // Paused beyond the bound, until all that waits has been taken.
    const bool pause = state_ == State::Reading && socket_->bytesToWrite() > (paused_ ? 0 : kMaxWaiting);
    if (pause == paused_)
        return;
    paused_ = pause;
    // While paused the socket takes in one byte more at the most, which the
    // HTTP server keeps as the start of a request; the rest waits in TCP,
    // which holds the client back.
    socket_->setReadBufferSize(pause ? 1 : 0);
    timer_.start((pause || scanner_.started() ? kRequestSeconds : kIdleSeconds) * 1000);
}

void HttpGuard::live(qint64 limit)
{
    state_ = State::Live;
    limit_ = limit;
    timer_.stop();
    // The HTTP server let go of the socket's signals when it handed it
    // over. The guard listens again, after the WebSocket, so that it sees
    // what the WebSocket wrote in answer to what came; and the socket ends
    // with its connection, and with it the guard and the connection's place.
    connect(socket_, &QTcpSocket::readyRead, this, &HttpGuard::checkWaiting, Qt::QueuedConnection);
    connect(socket_, &QTcpSocket::disconnected, socket_, &QObject::deleteLater);
}

void HttpGuard::checkWaiting()
{
    if (state_ != State::Live || socket_->bytesToWrite() <= limit_)
        return;
    state_ = State::Closing;
    emit refused(408, QStringLiteral("a live connection that does not take what is sent to it (%1 bytes waiting): cut off")
                          .arg(socket_->bytesToWrite()), true);
    socket_->abort();
}

void HttpGuard::refuse(const Refusal &refusal)
{
    socket_->skip(socket_->bytesAvailable());
    socket_->write(httpResponse(refusal.status, "text/plain; charset=utf-8", refusal.why.toUtf8() + '\n', true));
    emit refused(refusal.status, refusal.why, refusal.logged);
    closeQuietly();
}

void HttpGuard::closeQuietly()
{
    state_ = State::Closing;
    timer_.start(5000);  // a client that takes nothing more is cut off
    socket_->disconnectFromHost();
}

GuardedServer::GuardedServer(HttpGuard::UpgradeCheck check, QObject *parent)
    : QTcpServer(parent), check_(std::move(check))
{
}

HttpGuard *GuardedServer::upgrading(const QHostAddress &peer, quint16 port) const
{
    for (HttpGuard *guard : guards_)
        if (guard->upgrading() && guard->socket()->state() == QAbstractSocket::ConnectedState
            && guard->socket()->peerPort() == port && guard->socket()->peerAddress() == peer)
            return guard;
    return nullptr;
}

void GuardedServer::incomingConnection(qintptr handle)
{
    auto *socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(handle)) {
        delete socket;
        return;
    }
    const QString peer = gateway::peerOf(socket);
    if (int(guards_.size()) >= kMaxConnections) {
        emit refused(peer, 503, QStringLiteral("%1 connections open already").arg(kMaxConnections), true);
        socket->write(httpResponse(503, "text/plain; charset=utf-8", "too many connections; try again later\n", true));
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        QTimer::singleShot(5000, socket, &QTcpSocket::abort);
        socket->disconnectFromHost();
        return;
    }
    // What waits in TCP for a client is bounded as well: kMaxWaiting here
    // (twice that, as the system counts it) instead of the megabytes a
    // connection that takes nothing would otherwise grow to.
    socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, int(kMaxWaiting));
    auto *guard = new HttpGuard(socket, check_);
    // The guard goes with the socket, whoever ends it: the HTTP server
    // after an HTTP connection, the guard itself after a WebSocket.
    guards_.push_back(guard);
    connect(guard, &QObject::destroyed, this, [this, guard] { std::erase(guards_, guard); });
    connect(guard, &HttpGuard::refused, this,
            [this, peer](int status, const QString &why, bool logged) { emit refused(peer, status, why, logged); });
    addPendingConnection(socket);
}

}  // namespace qm25::web
