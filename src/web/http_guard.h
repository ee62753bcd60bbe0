#pragma once
// The HTTP front door's check of every byte a client sends, before the
// HTTP server reads it: one request at a time, each head and body within
// its bounds, well formed, and whole within a time limit. A request that
// fails gets its 4xx (or 5xx) answer and the connection is closed; the
// server never sees its bytes, and no other client notices. The guard also
// bounds what waits to be sent to a client, and the connections open.
#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QTcpServer>
#include <QTimer>
#include <functional>
#include <optional>
#include <vector>

class QTcpSocket;

namespace qm25::web {

// The request line and the headers together.
inline constexpr qsizetype kMaxHead = 8192;
inline constexpr qsizetype kMaxTarget = 2048;
inline constexpr int kMaxHeaderLines = 64;
// The longest body taken (a login, or a command's empty one).
inline constexpr qint64 kMaxBody = 4096;
// A request must come whole within this time of its first byte.
inline constexpr int kRequestSeconds = 10;
// A connection that sends no request for this long is closed.
inline constexpr int kIdleSeconds = 60;
// HTTP connections at once, live watchers among them; the next is answered
// 503 and closed.
inline constexpr int kMaxConnections = 128;

// A request's head as the guard read it.
struct RequestHead {
    QByteArray method;
    QByteArray target;
    QList<QPair<QByteArray, QByteArray>> headers;  // names in lower case
    QByteArray header(const QByteArray &lowerName) const;
};

// An answer the guard gives instead of passing a request on.
struct Refusal {
    int status = 400;
    QString why;  // for the log and the body
    bool logged = true;  // false: said elsewhere (tries refused for too many wrong passwords)
};

// A complete HTTP response: status line, headers, body. `extraHeaders`
// come as whole lines ending CR LF.
QByteArray httpResponse(int status, const QByteArray &contentType, const QByteArray &body, bool close,
                        const QByteArray &extraHeaders = {}, bool headOnly = false);
QByteArray reasonPhrase(int status);

// What the guard makes of one connection's bytes, one request at a time,
// without the socket: the head checked byte by byte as it comes (every
// line ends CR LF, nothing but printable ASCII and tabs between), then as a
// whole, then the body counted. The same bytes get the same verdict however
// they are cut into reads.
class RequestScanner {
public:
    enum class State { Head, Body, Whole, Refused };

    // Takes bytes from the start of `bytes` up to the end of the request
    // and returns how many it took: what is left belongs to the next one.
    qsizetype feed(QByteArrayView bytes);
    // The request has been answered: on to the next.
    void next();

    State state() const { return state_; }
    bool started() const { return state_ != State::Head || !head_.isEmpty(); }
    const Refusal &refusal() const { return refusal_; }
    // Once the head is read: the request, whether it asks for a WebSocket,
    // and whether the connection closes after its answer (HTTP/1.0).
    const RequestHead &head() const { return parsed_; }
    bool upgrade() const { return upgrade_; }
    bool closeAfterAnswer() const { return closeAfterAnswer_; }

private:
    // Reads `bytes` of the head; false once refused.
    bool readHead(QByteArrayView bytes, qsizetype *used);
    std::optional<Refusal> checkHead();
    void refuse(const Refusal &refusal);

    State state_ = State::Head;
    QByteArray head_;
    RequestHead parsed_;
    Refusal refusal_;
    qint64 bodyLeft_ = 0;
    bool upgrade_ = false;
    bool closeAfterAnswer_ = false;
};

// Answers waiting for an HTTP client beyond which nothing more is read
// from it until it has taken them all; a client that takes none of them
// within kRequestSeconds is cut off.
inline constexpr qint64 kMaxWaiting = 64 * 1024;

// Watches one connection. It must see the socket's readyRead before the
// HTTP server does (it is made before the server takes the socket). Once
// the WebSocket server has taken the connection over it stays with the
// socket: it counts what waits to be written to it and ends the socket
// with the connection.
class HttpGuard : public QObject {
    Q_OBJECT
public:
    // Asked about a WebSocket upgrade before it goes on: a refusal, or
    // nothing to let it through.
    using UpgradeCheck = std::function<std::optional<Refusal>(const RequestHead &head, const QHostAddress &peer, quint16 port)>;

    HttpGuard(QTcpSocket *socket, UpgradeCheck check);
    static HttpGuard *of(QTcpSocket *socket);

    // The server has written the answer to the request it was given; the
    // connection closes when `close`, or when the client sent more before it.
    void answered(bool close);
    // The request in hand is a WebSocket upgrade, which the WebSocket
    // server answers: the HTTP server has nothing to say to it.
    bool upgrading() const { return state_ == State::Upgraded; }
    // The WebSocket server took the connection: from now on more than
    // `limit` bytes waiting to be written to it, whatever wrote them (the
    // WebSocket's own answers to pings among them), cut it off.
    void live(qint64 limit);
    // Cuts the live connection off when over its limit.
    void checkWaiting();
    const QTcpSocket *socket() const { return socket_; }

signals:
    // A request or the connection refused: its status (or the one that
    // names the rule, for a connection cut off), and whether to log it.
    void refused(int status, const QString &why, bool logged);

private:
    enum class State { Reading, Answering, Upgraded, Live, Closing };
    void inspect();
    void watchOutput();
    void refuse(const Refusal &refusal);
    void closeQuietly();

    QTcpSocket *socket_;
    UpgradeCheck check_;
    State state_ = State::Reading;
    RequestScanner scanner_;
    bool closeAfterAnswer_ = false;
    bool paused_ = false;  // too many answers waiting: nothing is read
    qint64 limit_ = 0;
    QTimer timer_;  // the request's time limit, the idle limit, or how long a paused client may take nothing
};

// The listening socket of the HTTP front door: guards each connection
// before the server takes it, and answers those beyond kMaxConnections 503.
// A connection's place is given back when it ends, whether it ends as HTTP
// or as a WebSocket.
class GuardedServer : public QTcpServer {
    Q_OBJECT
public:
    explicit GuardedServer(HttpGuard::UpgradeCheck check, QObject *parent = nullptr);
    int openConnections() const { return int(guards_.size()); }

    // The guard of the connection being upgraded to a WebSocket from `peer`.
    HttpGuard *upgrading(const QHostAddress &peer, quint16 port) const;

signals:
    void refused(const QString &peer, int status, const QString &why, bool logged);

protected:
    void incomingConnection(qintptr handle) override;

private:
    HttpGuard::UpgradeCheck check_;
    std::vector<HttpGuard *> guards_;  // one per open connection
};

}  // namespace qm25::web
