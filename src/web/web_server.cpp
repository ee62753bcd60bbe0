#include "web/web_server.h"

#include <QHttpServerRequest>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QUrl>
#include <QWebSocket>

#include "core/catalogue.h"
#include "core/layout_table.h"
#include "gateway/exchange_queue.h"
#include "gateway/named_command.h"
#include "gateway/peer.h"
#include "web/page.h"

namespace qm25::web {
namespace {

const QByteArray kJson = "application/json";
const QByteArray kCommandsPrefix = "/api/commands/";
// The page asks for nothing from elsewhere, and shows in no other site's frame.
const QByteArray kPageHeaders =
    "Content-Security-Policy: default-src 'self'; connect-src 'self'; img-src 'self' data:; "
    "frame-ancestors 'none'; base-uri 'none'; form-action 'self'\r\n"
    "Referrer-Policy: no-referrer\r\nX-Frame-Options: DENY\r\n";

QJsonObject error(const QString &why) { return {{"error", why}}; }

// The value of a field of an application/x-www-form-urlencoded body.
std::optional<QByteArray> formField(const QByteArray &body, const QByteArray &name)
{
    for (QByteArray pair : body.split('&')) {
        pair.replace('+', ' ');
        const qsizetype eq = pair.indexOf('=');
        if (eq >= 0 && QByteArray::fromPercentEncoding(pair.left(eq)) == name)
            return QByteArray::fromPercentEncoding(pair.mid(eq + 1));
    }
    return std::nullopt;
}

// What a command's outcome answers with.
int statusOf(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Ok: return 200;
    case Outcome::NotAccepted: return 409;
    case Outcome::NoReply: return 504;
    case Outcome::PortError: return 503;
    case Outcome::NotReached: return 504;
    case Outcome::Unreadable: return 502;
    }
    return 503;
}

}  // namespace

WebServer::WebServer(gateway::ExchangeQueue *queue, gateway::StateWatcher *watcher, gateway::GatewayMetrics *metrics,
                     gateway::FrontDoor door, const QByteArray &password, gateway::PasswordThrottle *throttle,
                     const QList<QHostAddress> &trustedProxies, Logger logger, QObject *parent)
    : QAbstractHttpServer(parent),
      queue_(queue),
      access_(password, throttle, trustedProxies),
      watcher_(watcher),
      metrics_(metrics),
      door_(door),
      logger_(std::move(logger)),
      panels_(queue, watcher, &access_, logger_)
{
    metrics_->countClients(door_, [this] { return tcp_ ? tcp_->openConnections() : 0; });
    if (door_ != gateway::FrontDoor::Web)
        return;
    metrics_->countClients(gateway::FrontDoor::Live, [this] { return int(watchers_.size()); });
    metrics_->countClients(gateway::FrontDoor::Panel, [this] { return panels_.open(); });
    connect(watcher_, &gateway::StateWatcher::changed, this, &WebServer::broadcast);
    connect(this, &QAbstractHttpServer::newWebSocketConnection, this, &WebServer::takeWatchers);
}

WebServer::~WebServer()
{
    metrics_->countClients(door_, {});
    if (door_ == gateway::FrontDoor::Web) {
        metrics_->countClients(gateway::FrontDoor::Live, {});
        metrics_->countClients(gateway::FrontDoor::Panel, {});
    }
    for (const auto &[socket, id] : queueClients_)
        queue_->removeClient(id);
}

bool WebServer::listenOn(gateway::Endpoint *at, QString *error)
{
    tcp_ = new GuardedServer([this](const RequestHead &head, const QHostAddress &peer, quint16 port) {
        return checkUpgrade(head, peer, port);
    });
    const QString what = door_ == gateway::FrontDoor::Web ? QStringLiteral("HTTP") : QStringLiteral("metrics");
    connect(tcp_, &GuardedServer::refused, this, [this, what](const QString &peer, int status, const QString &why, bool logged) {
        if (logged)
            logger_(QStringLiteral("%1 %2: %3").arg(what, peer, why), false);
        count(status, why);
    });
    if (!tcp_->listen(at->host, at->port)) {
        *error = QStringLiteral("cannot listen for %1 on %2: %3").arg(what, at->text(), tcp_->errorString());
        delete tcp_;
        tcp_ = nullptr;
        return false;
    }
    at->port = tcp_->serverPort();
    bind(tcp_);
    logger_(QStringLiteral("%1 on %2 (%3)")
                .arg(what, at->text(), access_.hasPassword() ? QStringLiteral("password") : QStringLiteral("no password")),
            false);
    return true;
}

void WebServer::respond(QTcpSocket *socket, int status, const QByteArray &type, const QByteArray &body, bool close,
                        const QByteArray &extraHeaders, bool headOnly)
{
    socket->write(httpResponse(status, type, body, close, extraHeaders, headOnly));
    if (HttpGuard *guard = HttpGuard::of(socket))
        guard->answered(close);
}

void WebServer::respondJson(QTcpSocket *socket, int status, const QJsonValue &body, bool close,
                            const QByteArray &extraHeaders, bool headOnly)
{
    const QByteArray text = body.isArray() ? QJsonDocument(body.toArray()).toJson(QJsonDocument::Compact)
                                           : QJsonDocument(body.toObject()).toJson(QJsonDocument::Compact);
    respond(socket, status, kJson, text + '\n', close, extraHeaders, headOnly);
}

bool WebServer::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket)
{
    const auto headers = request.headers();
    const HeaderLookup header = [&headers](const QByteArray &name) {
        for (const auto &[key, value] : headers)
            if (key.compare(name, Qt::CaseInsensitive) == 0)
                return value.trimmed();
        return QByteArray();
    };
    // A WebSocket upgrade the guard let through (checkUpgrade()): the
    // server answers it itself once this returns.
    if (const HttpGuard *guard = HttpGuard::of(socket); guard && guard->upgrading())
        return true;
    const Client client = access_.clientOf(socket->peerAddress(), socket->peerPort(), header);
    const bool close = header("connection").toLower().contains("close");
    const QByteArray path = request.url().path(QUrl::FullyEncoded).toLatin1();
    const auto method = request.method();
    const bool get = method == QHttpServerRequest::Method::Get || method == QHttpServerRequest::Method::Head;
    const bool head = method == QHttpServerRequest::Method::Head;
    const bool post = method == QHttpServerRequest::Method::Post;
    const auto wrongMethod = [&](const QByteArray &allow) {
        respondJson(socket, 405, error(QStringLiteral("use %1").arg(QLatin1String(allow))), close,
                    "Allow: " + allow + "\r\n");
    };

    if (!access_.hostAllowed(header("host"))) {
        count(421, {});
        respondJson(socket, 421, error(QStringLiteral("without a password, name this machine by its address")), close);
        return true;
    }
    if (door_ == gateway::FrontDoor::Metrics && path != "/metrics") {
        respondJson(socket, 404, error(QStringLiteral("this port serves /metrics alone")), close);
        return true;
    }
    if (const auto file = pageFile(QString::fromLatin1(path))) {
        if (!get)
            wrongMethod("GET, HEAD");
        else
            respond(socket, 200, file->contentType, file->body, close, kPageHeaders, head);
        return true;
    }
    if (path == "/api/login" || path == "/api/logout") {
        if (!post) {
            wrongMethod("POST");
            return true;
        }
        const Verdict origin = Access::checkOrigin(header, false, client.scheme);
        if (origin.status) {
            count(origin.status, origin.why);
            respondJson(socket, origin.status, error(origin.why), close);
            return true;
        }
        if (path == "/api/login") {
            login(request, socket, header, client, close);
        } else {
            access_.logout(Access::cookie(header("cookie"), kSessionCookie));
            respond(socket, 204, {}, {}, close,
                    QByteArray("Set-Cookie: ") + kSessionCookie + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0\r\n");
        }
        return true;
    }
    const bool command = path.startsWith(kCommandsPrefix);
    const bool known = command || path == "/api/status" || path == "/api/commands" || path == "/api/live" || path == "/metrics"
                       || path == "/api/panel" || path == "/api/layout";
    if (!known) {
        respondJson(socket, 404, error(QStringLiteral("no such page")), close);
        return true;
    }
    if (command ? !post : !get) {
        wrongMethod(command ? "POST" : "GET, HEAD");
        return true;
    }
    const Verdict verdict = access_.check(header, post, client);
    if (verdict.status) {
        count(verdict.status, verdict.why);
        // (Tries refused for too many wrong passwords: the throttle sums them up.)
        if (verdict.status == 401)
            logger_(QStringLiteral("HTTP %1: %2 for %3").arg(client.text, verdict.why, QString::fromLatin1(path)),
                    verdict.why == QLatin1String("password needed"));
        respondJson(socket, verdict.status, error(verdict.why), close,
                    verdict.status == 401 ? "WWW-Authenticate: Bearer realm=\"qm25d\"\r\n" : QByteArray());
        return true;
    }
    if (path == "/api/live" || path == "/api/panel") {
        respondJson(socket, 426, error(QStringLiteral("a WebSocket connection only")), close, "Upgrade: websocket\r\n");
    } else if (path == "/api/commands") {
        QJsonArray list;
        for (const CommandRow &row : commands())
            list.append(toJson(row));
        respondJson(socket, 200, list, close, {}, head);
    } else if (path == "/api/status") {
        sendStatus(socket, close, head);
    } else if (path == "/metrics") {
        respond(socket, 200, gateway::kExpositionType, metrics_->scrape(), close, {}, head);
    } else if (path == "/api/layout") {
        static const QJsonObject layout = layoutJson();
        respondJson(socket, 200, layout, close, {}, head);
    } else {
        runCommand(QUrl::fromPercentEncoding(path.mid(kCommandsPrefix.size())), socket, close);
    }
    return true;
}

void WebServer::missingHandler(const QHttpServerRequest &, QTcpSocket *socket)
{
    respondJson(socket, 404, error(QStringLiteral("no such page")), true);
}

void WebServer::login(const QHttpServerRequest &request, QTcpSocket *socket, const HeaderLookup &header,
                      const Client &client, bool close)
{
    // As JSON from the page or a script, or as a form.
    const QByteArray type = header("content-type").toLower();
    std::optional<QByteArray> given;
    if (type.startsWith("application/json")) {
        const QJsonValue v = QJsonDocument::fromJson(request.body()).object().value(QStringLiteral("password"));
        if (v.isString())
            given = v.toString().toUtf8();
    } else if (type.startsWith("application/x-www-form-urlencoded")) {
        given = formField(request.body(), "password");
    }
    if (!given) {
        respondJson(socket, 400, error(QStringLiteral("send {\"password\": \"...\"} as application/json, "
                                                      "or password=... as application/x-www-form-urlencoded")), close);
        return;
    }
    if (!access_.hasPassword()) {
        respond(socket, 204, {}, {}, close);  // nothing to log in to
        return;
    }
    int status = 0;
    const QByteArray session = access_.login(*given, client, &status);
    if (session.isEmpty()) {
        count(status, {});
        if (status == 401)
            logger_(QStringLiteral("HTTP %1: wrong password").arg(client.text), false);
        respondJson(socket, status, error(status == 429 ? QStringLiteral("too many wrong passwords: try again in a minute")
                                                        : QStringLiteral("wrong password")), close);
        return;
    }
    logger_(QStringLiteral("HTTP %1: logged in (%2 sessions)").arg(client.text).arg(access_.sessionCount()), true);
    respond(socket, 204, {}, {}, close,
            QByteArray("Set-Cookie: ") + kSessionCookie + '=' + session + "; Path=/; HttpOnly; SameSite=Strict\r\n");
}

void WebServer::count(int status, const QString &why)
{
    using R = gateway::RefusalReason;
    if (status == 401 && why != QLatin1String("password needed")) {
        metrics_->authFailed(door_);
        return;
    }
    static const std::map<int, R> reasons{{400, R::Malformed}, {501, R::Malformed}, {505, R::Malformed},
        {408, R::TooSlow}, {413, R::TooLarge}, {414, R::TooLarge}, {431, R::TooLarge}, {503, R::TooManyConnections},
        {401, R::NoPassword}, {429, R::Throttled}, {403, R::Forbidden}, {421, R::Forbidden}};
    if (const auto it = reasons.find(status); it != reasons.end())
        metrics_->refused(door_, it->second);
}

int WebServer::queueClientOf(QTcpSocket *socket)
{
    const auto it = queueClients_.find(socket);
    if (it != queueClients_.end())
        return it->second;
    // One client of the queue per connection: it takes its turn on the line
    // with the PJLink and raw clients. A connection that goes drops its job.
    const int id = queue_->addClient(QStringLiteral("HTTP %1").arg(gateway::peerOf(socket)));
    queueClients_[socket] = id;
    connect(socket, &QObject::destroyed, this, [this, socket] {
        const auto gone = queueClients_.find(socket);
        if (gone != queueClients_.end()) {
            queue_->removeClient(gone->second);
            queueClients_.erase(gone);
        }
    });
    return id;
}

void WebServer::runCommand(const QString &name, QTcpSocket *socket, bool close)
{
    const CommandRow *row = commandNamed(name);
    if (!row) {
        respondJson(socket, 400, error(QStringLiteral("unknown command \"%1\": GET /api/commands lists them").arg(name)), close);
        return;
    }
    const QPointer<QTcpSocket> client(socket);
    const bool queued = gateway::runNamedCommand(queue_, queueClientOf(socket), watcher_, *row,
                                                 [this, client, close](const Result &result) {
        logger_(QStringLiteral("HTTP command %1: %2").arg(result.name, outcomeName(result.outcome)), true);
        if (client)
            respondJson(client, statusOf(result.outcome), toJson(result), close);
    });
    if (!queued) {
        metrics_->refused(door_, gateway::RefusalReason::Busy);
        respondJson(socket, 429, error(QStringLiteral("one command at a time on a connection")), close);
    }
}

void WebServer::sendStatus(QTcpSocket *socket, bool close, bool headOnly)
{
    const QPointer<QTcpSocket> client(socket);
    watcher_->whenFresh(1000, [this, client, close, headOnly] {
        if (!client)
            return;
        const Outcome reading = watcher_->lastRound().value_or(Outcome::PortError);
        respondJson(client, reading == Outcome::NotAccepted ? 502 : statusOf(reading), watcher_->snapshot(), close, {},
                    headOnly);
    });
}

std::optional<Refusal> WebServer::checkUpgrade(const RequestHead &head, const QHostAddress &peer, quint16 port)
{
    const QString path = QUrl(QString::fromLatin1(head.target)).path();
    if (door_ != gateway::FrontDoor::Web || (path != QLatin1String("/api/live") && path != QLatin1String("/api/panel")))
        return Refusal{404, QStringLiteral("WebSocket connections at /api/live and /api/panel only")};
    const HeaderLookup header = [&head](const QByteArray &name) { return head.header(name); };
    const Verdict v = access_.check(header, true, access_.clientOf(peer, port, header));
    if (v.status)
        return Refusal{v.status, v.why, v.status != 429};
    if (path == QLatin1String("/api/panel"))
        return panels_.refusal();
    if (int(watchers_.size()) >= kMaxWatchers)
        return Refusal{503, QStringLiteral("%1 watchers already").arg(kMaxWatchers)};
    return std::nullopt;
}

void WebServer::takeWatchers()
{
    while (hasPendingWebSocketConnections()) {
        QWebSocket *ws = nextPendingWebSocketConnection().release();
        if (!ws)
            continue;
        ws->setParent(this);
        ws->setMaxAllowedIncomingFrameSize(1024);
        ws->setMaxAllowedIncomingMessageSize(1024);
        HttpGuard *guard = ws->state() == QAbstractSocket::ConnectedState
                               ? tcp_->upgrading(ws->peerAddress(), ws->peerPort()) : nullptr;
        if (!guard) {
            // Gone already, or a connection the guard did not let through:
            // nothing reaches it. (The guard of one that is gone ends it.)
            ws->abort();
            ws->deleteLater();
            continue;
        }
        if (ws->requestUrl().path() == QLatin1String("/api/panel")) {
            guard->live(kMaxPanelBacklog);
            panels_.take(ws, guard);
            continue;
        }
        guard->live(kMaxWatcherBacklog);
        watchers_[ws] = {guard, Access::cookie(ws->request().rawHeader("Cookie"), kSessionCookie)};
        // It only listens: whatever a watcher says ends its connection.
        const auto refuse = [this, ws] {
            metrics_->refused(door_, gateway::RefusalReason::Malformed);
            ws->close(QWebSocketProtocol::CloseCodeDatatypeNotSupported, QStringLiteral("this connection only sends"));
        };
        connect(ws, &QWebSocket::textMessageReceived, ws, refuse);
        connect(ws, &QWebSocket::binaryMessageReceived, ws, refuse);
        connect(ws, &QWebSocket::disconnected, this, [this, ws] {
            if (watchers_.erase(ws))
                watcher_->unwatch();
            ws->deleteLater();
        });
        const QByteArray first = QJsonDocument(watcher_->snapshot()).toJson(QJsonDocument::Compact);
        ws->sendTextMessage(QString::fromUtf8(first));
        watcher_->watch();
    }
}

void WebServer::broadcast(const QJsonObject &snapshot)
{
    const QString text = QString::fromUtf8(QJsonDocument(snapshot).toJson(QJsonDocument::Compact));
    std::vector<QWebSocket *> loggedOut;
    std::vector<QPointer<HttpGuard>> sent;
    for (auto &[ws, watcher] : watchers_) {
        if (!watcher.session.isEmpty() && !access_.isSession(watcher.session)) {
            loggedOut.push_back(ws);
        } else {
            ws->sendTextMessage(text);
            sent.push_back(watcher.guard);
        }
    }
    // Last, as a watcher's end takes it out of the list: a session that has
    // ended (logged out, or ended by a newer one) sees no more, and one that
    // takes nothing is cut off.
    for (QWebSocket *ws : loggedOut)
        ws->close(QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("log in again"));
    for (const QPointer<HttpGuard> &guard : sent)
        if (guard)
            guard->checkWaiting();
}

}  // namespace qm25::web
