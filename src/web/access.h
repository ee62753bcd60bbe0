#pragma once
// Who may use the web panel and the HTTP API: the password (the same as
// PJLink's), given once on the page for a session cookie or with every API
// request as a bearer token, wrong ones counted with PJLink's per client
// address; the bounded set of sessions; and the checks that keep other web
// sites out (the origin of a state-changing request, and, without a
// password, the host name a page was loaded by).
#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <functional>
#include <map>

namespace qm25::gateway {
class PasswordThrottle;
}

namespace qm25::web {

inline constexpr char kSessionCookie[] = "qm25d_session";
// Sessions at once; a new one beyond them ends the one used longest ago.
inline constexpr int kMaxSessions = 32;
// A session not used for this long has ended.
inline constexpr qint64 kSessionIdleMs = 12LL * 3600 * 1000;

// A header's value by its lower-case name; empty when absent.
using HeaderLookup = std::function<QByteArray(const QByteArray &lowerName)>;

// Where a request comes from: the client's address and the scheme its page
// was loaded by; both as a trusted proxy says, when it came through one.
struct Client {
    QHostAddress address;
    QString text;  // for the log: "192.0.2.7:41298", "192.0.2.7 via 127.0.0.1:41298"
    QByteArray scheme = "http";
};

struct Verdict {
    int status = 0;    // 0: allowed; otherwise the HTTP status to answer
    QString why;       // for the answer and the log
    QByteArray session;  // the session the request came with, if by cookie
};

class Access {
public:
    // `throttle`: wrong passwords per address, shared with PJLink.
    // `trustedProxies`: the peers whose X-Forwarded-For and
    // X-Forwarded-Proto are believed.
    Access(QByteArray password, gateway::PasswordThrottle *throttle, QList<QHostAddress> trustedProxies = {});

    bool hasPassword() const { return !password_.isEmpty(); }
    Client clientOf(const QHostAddress &peer, quint16 port, const HeaderLookup &header) const;
    // Whether a request may go on. `changesState`: a POST, or the live
    // connection, which must come from the page's own origin.
    Verdict check(const HeaderLookup &header, bool changesState, const Client &client);
    // The origin part of check() alone: for a login, which comes before a session.
    static Verdict checkOrigin(const HeaderLookup &header, bool bySession, const QByteArray &scheme);
    // Without a password, a request must name this machine by an address
    // or as localhost, not by a name another site made to point here.
    bool hostAllowed(const QByteArray &host) const;
    // A new session for the right password; empty, with *status 401 or 429, otherwise.
    QByteArray login(const QByteArray &password, const Client &client, int *status);
    void logout(const QByteArray &session);
    bool isSession(const QByteArray &session) const { return sessions_.count(session) != 0; }
    int sessionCount() const { return int(sessions_.size()); }

    static QByteArray cookie(const QByteArray &cookieHeader, const QByteArray &name);

private:
    // Judges a password from `client`, unless it has had too many wrong
    // ones: 0 when right, 401 when wrong, 429 when not judged.
    int judge(const QByteArray &given, const Client &client);
    bool touch(const QByteArray &session);

    QByteArray password_;
    gateway::PasswordThrottle *throttle_;
    QList<QHostAddress> trustedProxies_;
    QElapsedTimer clock_;
    std::map<QByteArray, qint64> sessions_;  // token: last used
};

}  // namespace qm25::web
