#pragma once
// The HTTP front door's check of every byte a client sends, before the
// HTTP server reads it: one request at a time, each head and body within
// its bounds, well formed, and whole within a time limit. A request that
// fails gets its 4xx (or 5xx) answer and the connection is closed; the
// server never sees its bytes, and no other client notices.
#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QTcpServer>
#include <QTimer>
#include <functional>
#include <optional>

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
};

// A complete HTTP response: status line, headers, body. `extraHeaders`
// come as whole lines ending CR LF.
QByteArray httpResponse(int status, const QByteArray &contentType, const QByteArray &body, bool close,
                        const QByteArray &extraHeaders = {}, bool headOnly = false);
QByteArray reasonPhrase(int status);

// Watches one connection. It must see the socket's readyRead before the
// HTTP server does (it is made before the server takes the socket).
class HttpGuard : public QObject {
    Q_OBJECT
public:
    // Asked about a WebSocket upgrade before it goes on: a refusal, or
    // nothing to let it through.
    using UpgradeCheck = std::function<std::optional<Refusal>(const RequestHead &head)>;

    HttpGuard(QTcpSocket *socket, UpgradeCheck check);
    static HttpGuard *of(QTcpSocket *socket);

    // The server has written the answer to the request it was given; the
    // connection closes when `close`, or when the client sent more before it.
    void answered(bool close);

signals:
    void refused(int status, const QString &why);

private:
    enum class State { Head, Body, Answering, Upgraded, Closing };
    void inspect();
    // Reads `bytes` of the head; false once refused.
    bool readHead(QByteArrayView bytes, qsizetype *used);
    std::optional<Refusal> checkHead();
    void refuse(const Refusal &refusal);
    void closeQuietly();

    QTcpSocket *socket_;
    UpgradeCheck check_;
    State state_ = State::Head;
    QByteArray head_;
    qint64 bodyLeft_ = 0;
    bool upgrade_ = false;
    bool closeAfterAnswer_ = false;
    QTimer timer_;  // the request's time limit, or the idle limit
};

// The listening socket of the HTTP front door: guards each connection
// before the server takes it, and answers those beyond kMaxConnections 503.
class GuardedServer : public QTcpServer {
    Q_OBJECT
public:
    explicit GuardedServer(HttpGuard::UpgradeCheck check, QObject *parent = nullptr);
    int openConnections() const { return open_; }

signals:
    void refused(const QString &peer, int status, const QString &why);

protected:
    void incomingConnection(qintptr handle) override;

private:
    HttpGuard::UpgradeCheck check_;
    int open_ = 0;
};

}  // namespace qm25::web
