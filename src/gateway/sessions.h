#pragma once
#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTimer>
#include <deque>
#include <functional>
#include <optional>

#include "gateway/exchange_queue.h"
#include "gateway/gateway_metrics.h"
#include "gateway/password_throttle.h"
#include "gateway/pjlink.h"

class QTcpSocket;

namespace qm25::gateway {

// Longest raw frame, its CR included, as the projector takes it.
inline constexpr qsizetype kMaxRawFrame = 256;
// Answers not yet taken by a client beyond which nothing more is read from it.
inline constexpr qint64 kMaxUnsent = 64 * 1024;
// What is read from a client's socket into memory at most.
inline constexpr qint64 kSocketReadBuffer = 4096;

// The reply time-out of a frame: its catalogue row's, or the command line's
// for a code the catalogue does not have.
int replyTimeoutOf(QByteArrayView frame);

// One client connection. Its requests become jobs on the shared queue; the
// answers go back in the order the requests came, whether a request was
// answered at once or after its exchanges. While the client has as many
// requests waiting as the queue takes, or leaves too many answers unread,
// nothing more is read from it (TCP then holds the client back).
class Session : public QObject {
    Q_OBJECT
public:
    Session(QTcpSocket *socket, ExchangeQueue *queue, const QString &label, QObject *parent = nullptr);
    ~Session() override;

    QString label() const { return label_; }
    // Closes the connection once the answers owed are sent; `why` is logged
    // when `loud` (and always with --verbose).
    void finish(const QString &why, bool loud, const QByteArray &lastWords = {});

signals:
    // The connection is closed; the session deletes itself afterwards.
    void ended(Session *session);
    void log(const QString &line, bool verboseOnly);
    // For the metrics: a request refused by a rule, and a wrong password.
    void refused(RefusalReason reason);
    void authFailed();

protected:
    virtual void readRequests() = 0;
    bool hasRoom() const;
    // Bytes to append to a reader: nothing when the socket has none.
    QByteArray take(qint64 max);
    void answerNow(const QByteArray &bytes);
    // An answer made when its turn comes: once the answers owed before it are made.
    void answerInTurn(std::function<QByteArray()> make);
    void submit(std::vector<Step> steps, std::function<QByteArray(std::vector<ExchangeResult>)> answer);
    bool owes() const { return !owed_.empty(); }
    virtual void answered() {}

private:
    void flush();
    void end();

    QTcpSocket *socket_;
    ExchangeQueue *queue_;
    int id_;
    QString label_;
    struct Owed {
        std::optional<QByteArray> bytes;
        std::function<QByteArray()> inTurn;
    };
    std::deque<Owed> owed_;
    bool finishing_ = false;
    bool ended_ = false;
    QByteArray lastWords_;
    QTimer abort_;
};

// A PJLink connection: greeting, password, requests, the idle time-out.
// The digest is judged only while the throttle admits the client's
// address; a wrong one counts against it.
class PjlinkSession : public Session {
    Q_OBJECT
public:
    PjlinkSession(QTcpSocket *socket, ExchangeQueue *queue, const QString &label, const QByteArray &password,
                  PasswordThrottle *throttle, const pjlink::Identity &identity, int idleSeconds,
                  QObject *parent = nullptr);

signals:
    // A request was read (past the password): the client is a controller
    // that notifications may go to.
    void spoke();

protected:
    void readRequests() override;
    void answered() override { idle_.start(); }

private:
    // For --verbose: a request and its answer.
    void note(const pjlink::Request &request, const QByteArray &answer);

    pjlink::RequestReader reader_;
    pjlink::Identity identity_;
    QTimer idle_;
    PasswordThrottle *throttle_;
    QHostAddress client_;
    bool proven_;  // no password, or the digest was right
};

// A raw exchange connection: frames cut at CR, each one exchange, the
// projector's reply passed back as it came. A connection whose first line is
// an HTTP request is closed before anything of it reaches the projector: a
// frame is sent on only whole, so the whole line is at hand first.
class RawSession : public Session {
    Q_OBJECT
public:
    RawSession(QTcpSocket *socket, ExchangeQueue *queue, const QString &label, QObject *parent = nullptr);

protected:
    void readRequests() override;

private:
    QByteArray buffer_;
    bool afterCr_ = false;
    bool first_ = true;  // no frame has come yet
};

}  // namespace qm25::gateway
