#pragma once
// The whole panel in a browser (the page /panel): one WebSocket at
// /api/panel for each page, on which the page says what is done to the
// panel's controls and hears what its display lines and the line show.
//
// The page sends one JSON object a message, with one member:
//   {"click": NAME}     a click button: its command, by its catalogue name
//   {"press": NAME}     a held button pressed: its repeat starts here
//   {"release": NAME}   ... and let go
//   {"alive": true}     while a button is held, at least every kAliveMs
//   {"send": TEXT}      the command line's SEND
//   {"end": true}       END: the session ends
// and hears
//   {"alive_ms": N}     first: how often to say "alive" while a button is held
//   {"txd"|"rxd"|"status": TEXT}   a display line's new text
//   {"line": "up"|"down", "why"?: TEXT}   at first, and when it changes
//   {"stopped": WHY}    the repeat of a held button stopped without a release
//   {"refused": WHY}    a message that was not taken
#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <functional>
#include <utility>
#include <optional>

#include "gateway/panel_exchanges.h"
#include "web/access.h"
#include "web/http_guard.h"

class QWebSocket;

namespace qm25::gateway {
class StateWatcher;
}

namespace qm25::web {

// Panels at once; the next is answered 503.
inline constexpr int kMaxPanels = 16;
// The largest message a page may send, in bytes; a larger one closes its
// connection (1009).
inline constexpr qint64 kMaxPanelMessage = 4096;
// Messages a page may send in a second; one more closes its connection (1008).
inline constexpr int kPanelMessagesPerSecond = 25;
// Messages a page has not taken yet, in bytes, beyond which it is cut off
// (by its connection's guard).
inline constexpr qint64 kMaxPanelBacklog = 256 * 1024;
// While a button is held the page says it is there this often; after two
// such periods without a word from it the repeat stops.
inline constexpr int kAliveMs = 250;

class PanelSession : public QObject {
    Q_OBJECT
public:
    using Logger = std::function<void(const QString &line, bool verboseOnly)>;

    // `session`: the login it came with (empty: by token, or no password);
    // once that has ended, the next message closes the connection.
    PanelSession(QWebSocket *socket, HttpGuard *guard, gateway::ExchangeQueue *queue, gateway::StateWatcher *watcher,
                 Access *access, const QByteArray &session, Logger logger, QObject *parent = nullptr);
    ~PanelSession() override;

signals:
    // The connection has closed; the session is deleted later.
    void ended(PanelSession *session);

private:
    void message(const QString &text);
    void act(const QString &verb, const QJsonValue &value);
    void send(const QJsonObject &message);
    void refuse(const QString &why);
    void close(int code, const QString &why, bool loud);
    void showLine();

    QWebSocket *socket_;
    QPointer<HttpGuard> guard_;
    Access *access_;
    QByteArray session_;
    Logger logger_;
    QString label_;
    gateway::PanelExchanges exchanges_;
    QTimer alive_;  // while a button is held: the page's keep-alive
    QElapsedTimer second_;
    int inSecond_ = 0;
    bool closing_ = false;
    gateway::StateWatcher *watcher_;
    std::optional<std::pair<bool, QString>> lineShown_;  // up, and why not
};

// The panels at once: refused beyond kMaxPanels, each ended as its
// connection closes.
class Panels : public QObject {
    Q_OBJECT
public:
    Panels(gateway::ExchangeQueue *queue, gateway::StateWatcher *watcher, Access *access, PanelSession::Logger logger,
           QObject *parent = nullptr);
    std::optional<Refusal> refusal() const;
    // A connection its guard let through (and watches, kMaxPanelBacklog).
    void take(QWebSocket *socket, HttpGuard *guard);
    int open() const { return open_; }

private:
    gateway::ExchangeQueue *queue_;
    gateway::StateWatcher *watcher_;
    Access *access_;
    PanelSession::Logger logger_;
    int open_ = 0;
};

}  // namespace qm25::web
