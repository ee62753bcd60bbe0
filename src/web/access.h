#pragma once
// Who may use the web panel and the HTTP API: the password (the same as
// PJLink's), given once on the page for a session cookie or with every API
// request as a bearer token; the bounded set of sessions; and the checks
// that keep other web sites out (the origin of a state-changing request,
// and, without a password, the host name a page was loaded by).
#include <QByteArray>
#include <QElapsedTimer>
#include <QString>
#include <deque>
#include <functional>
#include <map>

namespace qm25::web {

inline constexpr char kSessionCookie[] = "qm25d_session";
// Sessions at once; a new one beyond them ends the one used longest ago.
inline constexpr int kMaxSessions = 32;
// A session not used for this long has ended.
inline constexpr qint64 kSessionIdleMs = 12LL * 3600 * 1000;
// Wrong passwords in the last minute (at logins or as bearer tokens) after
// which logins and tokens are refused a while.
inline constexpr int kMaxFailedLogins = 10;

// A header's value by its lower-case name; empty when absent.
using HeaderLookup = std::function<QByteArray(const QByteArray &lowerName)>;

struct Verdict {
    int status = 0;    // 0: allowed; otherwise the HTTP status to answer
    QString why;       // for the answer and the log
    QByteArray session;  // the session the request came with, if by cookie
};

class Access {
public:
    explicit Access(QByteArray password);

    bool hasPassword() const { return !password_.isEmpty(); }
    // Whether a request may go on. `changesState`: a POST, or the live
    // connection, which must come from the page's own origin.
    Verdict check(const HeaderLookup &header, bool changesState);
    // The origin part of check() alone: for a login, which comes before a session.
    static Verdict checkOrigin(const HeaderLookup &header, bool bySession);
    // Without a password, a request must name this machine by an address
    // or as localhost, not by a name another site made to point here.
    bool hostAllowed(const QByteArray &host) const;
    // A new session for the right password; empty, with *status 401 or 429, otherwise.
    QByteArray login(const QByteArray &password, int *status);
    void logout(const QByteArray &session);
    bool isSession(const QByteArray &session) const { return sessions_.count(session) != 0; }
    int sessionCount() const { return int(sessions_.size()); }

    static QByteArray cookie(const QByteArray &cookieHeader, const QByteArray &name);

private:
    bool passwordIs(const QByteArray &given) const;
    bool touch(const QByteArray &session);
    // Too many wrong passwords (at logins or as tokens) in the last minute.
    bool throttled();

    QByteArray password_;
    QElapsedTimer clock_;
    std::map<QByteArray, qint64> sessions_;  // token: last used
    std::deque<qint64> failedLogins_;
};

}  // namespace qm25::web
