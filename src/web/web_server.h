#pragma once
// qm25d's HTTP front door: the web panel and the HTTP API, on the same
// queue of exchanges as the PJLink and raw clients.
//
//   GET  /                       the page (and /panel.css, /panel.js)
//   GET  /panel                  the whole panel (and /whole.css, /whole.js, /image1.bmp)
//   GET  /api/layout             the window's layout table, which /panel draws
//   GET  /api/status             the status, read fresh or at most 1 s old
//   GET  /api/commands           the catalogue: name, code, kind, description
//   POST /api/commands/NAME      runs one command: its outcome object
//   POST /api/login, /api/logout the page's session cookie
//   GET  /api/live               WebSocket: the status whenever it changes
//   GET  /api/panel              WebSocket: one whole panel's session (web/panel_session.h)
//   GET  /metrics                the metrics, in Prometheus's text format
//
// The same server, as the metrics front door, serves /metrics alone.
#include <QAbstractHttpServer>
#include <QByteArray>
#include <QHostAddress>
#include <QJsonValue>
#include <QList>
#include <QPointer>
#include <QString>
#include <functional>
#include <map>

#include "gateway/gateway_metrics.h"
#include "gateway/options.h"
#include "gateway/state_watcher.h"
#include "web/access.h"
#include "web/http_guard.h"
#include "web/panel_session.h"

class QWebSocket;

namespace qm25::web {

// Live watchers at once; the next is answered 503.
inline constexpr int kMaxWatchers = 64;
// Bytes waiting to be written to a watcher (updates, and the WebSocket's
// answers to its pings) beyond which it is cut off.
inline constexpr qint64 kMaxWatcherBacklog = 256 * 1024;

class WebServer : public QAbstractHttpServer {
    Q_OBJECT
public:
    using Logger = std::function<void(const QString &line, bool verboseOnly)>;

    // `door`: Web for the page, the API and /metrics; Metrics for /metrics
    // alone. `throttle`: wrong passwords per client address, shared with
    // PJLink; `trustedProxies`: the peers whose forwarding headers are believed.
    WebServer(gateway::ExchangeQueue *queue, gateway::StateWatcher *watcher, gateway::GatewayMetrics *metrics,
              gateway::FrontDoor door, const QByteArray &password, gateway::PasswordThrottle *throttle,
              const QList<QHostAddress> &trustedProxies, Logger logger, QObject *parent = nullptr);
    ~WebServer() override;

    // Listens; false, with *error, when it cannot. at->port becomes the port taken.
    bool listenOn(gateway::Endpoint *at, QString *error);

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

private:
    struct Watcher {
        QPointer<HttpGuard> guard;  // counts what waits to be written to it
        QByteArray session;  // the session it came with; empty: by token, or no password
    };
    void respond(QTcpSocket *socket, int status, const QByteArray &type, const QByteArray &body, bool close,
                 const QByteArray &extraHeaders = {}, bool headOnly = false);
    void respondJson(QTcpSocket *socket, int status, const QJsonValue &body, bool close,
                     const QByteArray &extraHeaders = {}, bool headOnly = false);
    void login(const QHttpServerRequest &request, QTcpSocket *socket, const HeaderLookup &header, const Client &client,
               bool close);
    void runCommand(const QString &name, QTcpSocket *socket, bool close);
    void sendStatus(QTcpSocket *socket, bool close, bool headOnly);
    std::optional<Refusal> checkUpgrade(const RequestHead &head, const QHostAddress &peer, quint16 port);
    void takeWatchers();
    void broadcast(const QJsonObject &snapshot);
    int queueClientOf(QTcpSocket *socket);
    // A request refused, with its status and reason, for the metrics.
    void count(int status, const QString &why);

    gateway::ExchangeQueue *queue_;
    Access access_;
    gateway::StateWatcher *watcher_;
    gateway::GatewayMetrics *metrics_;
    gateway::FrontDoor door_;
    Logger logger_;
    GuardedServer *tcp_ = nullptr;  // owned by the HTTP server once bound
    std::map<QTcpSocket *, int> queueClients_;
    std::map<QWebSocket *, Watcher> watchers_;
    Panels panels_;
};

}  // namespace qm25::web
