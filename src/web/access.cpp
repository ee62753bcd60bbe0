#include "web/access.h"

#include <QCryptographicHash>
#include <QHostAddress>
#include <QRandomGenerator>
#include <algorithm>

namespace qm25::web {
namespace {

// A Host header names this machine by an address or as localhost: no
// other site's name that was made to point here (DNS rebinding).
bool namesAnAddress(const QByteArray &host)
{
    QByteArray name = host;
    if (name.startsWith('[')) {
        const qsizetype close = name.indexOf(']');
        return close > 0 && !QHostAddress(QString::fromLatin1(name.mid(1, close - 1))).isNull();
    }
    if (const qsizetype colon = name.indexOf(':'); colon >= 0)
        name.truncate(colon);
    return name.compare("localhost", Qt::CaseInsensitive) == 0 || !QHostAddress(QString::fromLatin1(name)).isNull();
}

}  // namespace

Access::Access(QByteArray password) : password_(std::move(password)) { clock_.start(); }

bool Access::passwordIs(const QByteArray &given) const
{
    // Compared as digests, so the time taken tells nothing of the password.
    const auto digest = [](const QByteArray &b) { return QCryptographicHash::hash(b, QCryptographicHash::Sha256); };
    const QByteArray a = digest(given), b = digest(password_);
    int differ = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        differ |= a[i] ^ b[i];
    return differ == 0;
}

bool Access::touch(const QByteArray &session)
{
    const auto it = sessions_.find(session);
    if (it == sessions_.end())
        return false;
    if (clock_.elapsed() - it->second > kSessionIdleMs) {
        sessions_.erase(it);
        return false;
    }
    it->second = clock_.elapsed();
    return true;
}

Verdict Access::check(const HeaderLookup &header, bool changesState)
{
    Verdict v;
    if (!hostAllowed(header("host")))
        return {421, QStringLiteral("without a password, name this machine by its address"), {}};
    if (hasPassword()) {
        const QByteArray authorization = header("authorization");
        if (authorization.startsWith("Bearer ")) {
            // Wrong tokens count as wrong passwords at a login.
            if (throttled())
                return {429, QStringLiteral("too many wrong passwords: try again in a minute"), {}};
            if (!passwordIs(authorization.mid(7).trimmed())) {
                failedLogins_.push_back(clock_.elapsed());
                return {401, QStringLiteral("wrong password"), {}};
            }
        } else {
            const QByteArray session = cookie(header("cookie"), kSessionCookie);
            if (session.isEmpty() || !touch(session))
                return {401, QStringLiteral("password needed"), {}};
            v.session = session;
        }
    }
    if (changesState) {
        const Verdict o = checkOrigin(header, !v.session.isEmpty());
        if (o.status)
            return o;
    }
    return v;
}

Verdict Access::checkOrigin(const HeaderLookup &header, bool bySession)
{
    // A browser names the page a request comes from; a request from another
    // site's page is refused, and a session's requests must be named so.
    const QByteArray origin = header("origin"), site = header("sec-fetch-site");
    if (!origin.isEmpty() && origin.compare("http://" + header("host"), Qt::CaseInsensitive) != 0)
        return {403, QStringLiteral("a request from another site's page"), {}};
    if (!site.isEmpty() && site != "same-origin" && site != "none")
        return {403, QStringLiteral("a request from another site's page"), {}};
    if (bySession && origin.isEmpty() && site.isEmpty())
        return {403, QStringLiteral("a session's request must say where it comes from (Origin)"), {}};
    return {};
}

bool Access::hostAllowed(const QByteArray &host) const { return hasPassword() || namesAnAddress(host); }

bool Access::throttled()
{
    const qint64 now = clock_.elapsed();
    while (!failedLogins_.empty() && now - failedLogins_.front() > 60000)
        failedLogins_.pop_front();
    return int(failedLogins_.size()) >= kMaxFailedLogins;
}

QByteArray Access::login(const QByteArray &password, int *status)
{
    const qint64 now = clock_.elapsed();
    if (throttled()) {
        *status = 429;
        return {};
    }
    if (!hasPassword() || !passwordIs(password)) {
        failedLogins_.push_back(now);
        *status = 401;
        return {};
    }
    if (int(sessions_.size()) >= kMaxSessions) {
        const auto oldest = std::min_element(sessions_.begin(), sessions_.end(),
                                             [](const auto &a, const auto &b) { return a.second < b.second; });
        sessions_.erase(oldest);
    }
    QByteArray token(32, '\0');
    QRandomGenerator::system()->generate(reinterpret_cast<quint32 *>(token.data()),
                                         reinterpret_cast<quint32 *>(token.data() + token.size()));
    token = token.toHex();
    sessions_[token] = now;
    *status = 204;
    return token;
}

void Access::logout(const QByteArray &session) { sessions_.erase(session); }

QByteArray Access::cookie(const QByteArray &cookieHeader, const QByteArray &name)
{
    for (const QByteArray &pair : cookieHeader.split(';')) {
        const QByteArray p = pair.trimmed();
        if (p.startsWith(name + '='))
            return p.mid(name.size() + 1);
    }
    return {};
}

}  // namespace qm25::web
