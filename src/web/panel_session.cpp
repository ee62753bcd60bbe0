#include "web/panel_session.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QWebSocket>

#include "core/catalogue.h"
#include "gateway/peer.h"
#include "gateway/state_watcher.h"

namespace qm25::web {
namespace {

const char *lineName(DisplayLine line)
{
    switch (line) {
    case DisplayLine::Txd: return "txd";
    case DisplayLine::Rxd: return "rxd";
    case DisplayLine::Status: return "status";
    }
    return "";
}

}  // namespace

PanelSession::PanelSession(QWebSocket *socket, HttpGuard *guard, gateway::ExchangeQueue *queue,
                           gateway::StateWatcher *watcher, Access *access, const QByteArray &session, Logger logger,
                           QObject *parent)
    : QObject(parent),
      socket_(socket),
      guard_(guard),
      access_(access),
      session_(session),
      logger_(std::move(logger)),
      label_(QStringLiteral("panel %1").arg(gateway::peerText(socket->peerAddress(), socket->peerPort()))),
      exchanges_(queue, label_),
      watcher_(watcher)
{
    socket->setParent(this);
    socket->setMaxAllowedIncomingFrameSize(kMaxPanelMessage);
    socket->setMaxAllowedIncomingMessageSize(kMaxPanelMessage);
    second_.start();
    alive_.setSingleShot(true);
    alive_.setInterval(2 * kAliveMs);

    ExchangeEngine &engine = exchanges_.engine();
    connect(&engine, &ExchangeEngine::displayChanged, this, [this](DisplayLine line, const QString &text) {
        send({{QLatin1String(lineName(line)), text}});
    });
    // The line could not take a held button's frame: its repeat has stopped.
    connect(&engine, &ExchangeEngine::linkLost, this, [this](const QString &why) {
        alive_.stop();
        send({{"stopped", why}});
    });
    connect(&alive_, &QTimer::timeout, this, [this] {
        ExchangeEngine &e = exchanges_.engine();
        if (const CommandRow *held = e.state().held) {
            logger_(QStringLiteral("HTTP %1: no word from the page while %2 was held: its repeat stopped")
                        .arg(label_, latin1(held->name)), false);
            e.releaseHeldButton(*held);
            send({{"stopped", QStringLiteral("no word from this page for %1 ms").arg(2 * kAliveMs)}});
        }
    });
    connect(socket, &QWebSocket::textMessageReceived, this, &PanelSession::message);
    connect(socket, &QWebSocket::binaryMessageReceived, this, [this] {
        close(QWebSocketProtocol::CloseCodeDatatypeNotSupported, QStringLiteral("JSON text messages only"), false);
    });
    connect(socket, &QWebSocket::disconnected, this, [this] {
        // A page that goes (closed, killed, its network gone) leaves nothing
        // running: the repeat stops with its engine, its waiting frames are dropped.
        alive_.stop();
        exchanges_.end();
        logger_(QStringLiteral("HTTP %1 has left").arg(label_), true);
        emit ended(this);
    });

    connect(watcher, &gateway::StateWatcher::changed, this, &PanelSession::showLine);
    send({{"alive_ms", kAliveMs}});
    showLine();
    logger_(QStringLiteral("HTTP %1 connected").arg(label_), true);
}

PanelSession::~PanelSession() = default;

// The line as the gateway's state has it, whenever that changes.
void PanelSession::showLine()
{
    const std::pair line{watcher_->lineUp(), watcher_->lineUp() ? QString() : watcher_->lineError()};
    if (lineShown_ == line)
        return;
    lineShown_ = line;
    QJsonObject m{{"line", line.first ? "up" : "down"}};
    if (!line.second.isEmpty())
        m.insert(QStringLiteral("why"), line.second);
    send(m);
}

void PanelSession::send(const QJsonObject &message)
{
    if (closing_)
        return;
    socket_->sendTextMessage(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
    // A page that takes nothing is cut off by the guard (and ends this).
    if (guard_)
        guard_->checkWaiting();
}

void PanelSession::refuse(const QString &why)
{
    logger_(QStringLiteral("HTTP %1: refused: %2").arg(label_, why), true);
    send({{"refused", why}});
}

void PanelSession::close(int code, const QString &why, bool loud)
{
    if (closing_)
        return;
    closing_ = true;
    logger_(QStringLiteral("HTTP %1: %2").arg(label_, why), !loud);
    exchanges_.end();
    socket_->close(QWebSocketProtocol::CloseCode(code), why);
}

void PanelSession::message(const QString &text)
{
    if (closing_)
        return;
    if (second_.elapsed() >= 1000) {
        second_.start();
        inSecond_ = 0;
    }
    if (++inSecond_ > kPanelMessagesPerSecond) {
        close(QWebSocketProtocol::CloseCodePolicyViolated,
              QStringLiteral("more than %1 messages in a second").arg(kPanelMessagesPerSecond), true);
        return;
    }
    if (!session_.isEmpty() && !access_->isSession(session_)) {
        close(QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("log in again"), false);
        return;
    }
    // Any word from the page while a button is held keeps its repeat going.
    if (alive_.isActive())
        alive_.start();
    const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8());
    const QJsonObject m = doc.object();
    if (!doc.isObject() || m.size() != 1) {
        refuse(QStringLiteral("a message is a JSON object of one member: click, press, release, alive, send or end"));
        return;
    }
    act(m.begin().key(), m.begin().value());
}

void PanelSession::act(const QString &verb, const QJsonValue &value)
{
    ExchangeEngine &engine = exchanges_.engine();
    const CommandRow *row = value.isString() ? commandNamed(value.toString()) : nullptr;
    const bool holdable = row && row->repeat != Repeat::None;
    const CommandRow *held = engine.state().held;
    if (verb == QLatin1String("alive")) {
        return;
    } else if (verb == QLatin1String("click")) {
        if (!row || holdable || row->typed)
            return refuse(QStringLiteral("no button clicks \"%1\"").arg(value.toString()));
        engine.clickCommand(*row);
    } else if (verb == QLatin1String("press")) {
        if (!holdable)
            return refuse(QStringLiteral("no button repeats \"%1\" while held").arg(value.toString()));
        if (held)
            return refuse(QStringLiteral("one held button at a time: %1 is held").arg(latin1(held->name)));
        engine.pressHeldButton(*row);
        alive_.start();
    } else if (verb == QLatin1String("release")) {
        if (!holdable || (held && held != row))
            return refuse(QStringLiteral("\"%1\" is not held").arg(value.toString()));
        alive_.stop();
        engine.releaseHeldButton(*row);
    } else if (verb == QLatin1String("send")) {
        const QString code = value.toString();
        const qsizetype bad = controlCharacterAt(code);
        if (!value.isString() || bad >= 0)
            return refuse(value.isString() ? QStringLiteral("character %1 of the code is a control character (code %2): "
                                                            "the gateway sends one frame, the code and its CR")
                                                 .arg(bad + 1)
                                                 .arg(code.at(bad).unicode())
                                           : QStringLiteral("send a text"));
        engine.sendTypedCommand(code);
    } else if (verb == QLatin1String("end")) {
        close(QWebSocketProtocol::CloseCodeNormal, QStringLiteral("ended by END"), false);
    } else {
        refuse(QStringLiteral("no such message: \"%1\"").arg(verb));
    }
}

// --- the panels at once --------------------------------------------------------------

Panels::Panels(gateway::ExchangeQueue *queue, gateway::StateWatcher *watcher, Access *access,
               PanelSession::Logger logger, QObject *parent)
    : QObject(parent), queue_(queue), watcher_(watcher), access_(access), logger_(std::move(logger))
{
}

std::optional<Refusal> Panels::refusal() const
{
    if (open_ >= kMaxPanels)
        return Refusal{503, QStringLiteral("%1 panels open already").arg(kMaxPanels)};
    return std::nullopt;
}

void Panels::take(QWebSocket *socket, HttpGuard *guard)
{
    // Upgrades let through together may come to more than the bound.
    if (refusal()) {
        socket->setParent(this);
        connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
        socket->close(QWebSocketProtocol::CloseCode(1013), refusal()->why);  // try again later
        return;
    }
    ++open_;
    auto *session = new PanelSession(socket, guard, queue_, watcher_, access_,
                                     Access::cookie(socket->request().rawHeader("Cookie"), kSessionCookie), logger_, this);
    connect(session, &PanelSession::ended, this, [this](PanelSession *s) {
        --open_;
        s->deleteLater();
    });
}

}  // namespace qm25::web
