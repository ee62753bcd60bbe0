#include "web/access.h"

#include <QCryptographicHash>
#include <QHostAddress>
#include <QRandomGenerator>
#include <algorithm>
#include <optional>

#include "gateway/password_throttle.h"
#include "gateway/peer.h"

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

// The token of "Bearer TOKEN" (the scheme in any case); nothing for another scheme.
std::optional<QByteArray> bearerToken(const QByteArray &authorization)
{
    const qsizetype blank = authorization.indexOf(' ');
    if (blank < 0 || QByteArrayView(authorization).first(blank).compare("bearer", Qt::CaseInsensitive) != 0)
        return std::nullopt;
    return authorization.mid(blank + 1).trimmed();
}

}  // namespace

Access::Access(QByteArray password, gateway::PasswordThrottle *throttle, QList<QHostAddress> trustedProxies)
    : password_(std::move(password)), throttle_(throttle)
{
    for (const QHostAddress &proxy : trustedProxies)
        trustedProxies_.append(gateway::plainAddress(proxy));
    clock_.start();
}

Client Access::clientOf(const QHostAddress &peer, quint16 port, const HeaderLookup &header) const
{
    Client c{gateway::plainAddress(peer), gateway::peerText(peer, port)};
    if (!trustedProxies_.contains(c.address))
        return c;
    // The proxy puts the address it took the request from last.
    const QByteArray forwarded = header("x-forwarded-for");
    const QHostAddress client(QString::fromLatin1(forwarded.mid(forwarded.lastIndexOf(',') + 1).trimmed()));
    if (!client.isNull()) {
        c.address = gateway::plainAddress(client);
        c.text = QStringLiteral("%1 via %2").arg(c.address.toString(), c.text);
    }
    const QByteArray scheme = header("x-forwarded-proto").toLower();
    if (scheme == "https" || scheme == "http")
        c.scheme = scheme;
    return c;
}

int Access::judge(const QByteArray &given, const Client &client)
{
    if (!throttle_->admits(client.address, QStringLiteral("HTTP")))
        return 429;
    // Compared as digests, so the time taken tells nothing of the password.
    const auto digest = [](const QByteArray &b) { return QCryptographicHash::hash(b, QCryptographicHash::Sha256); };
    const QByteArray a = digest(given), b = digest(password_);
    int differ = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        differ |= a[i] ^ b[i];
    if (differ == 0)
        return 0;
    throttle_->failed(client.address);
    return 401;
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

Verdict Access::check(const HeaderLookup &header, bool changesState, const Client &client)
{
    Verdict v;
    if (!hostAllowed(header("host")))
        return {421, QStringLiteral("without a password, name this machine by its address"), {}};
    if (hasPassword()) {
        if (const auto token = bearerToken(header("authorization"))) {
            // Wrong tokens count as wrong passwords at a login.
            switch (judge(*token, client)) {
            case 429: return {429, QStringLiteral("too many wrong passwords: try again in a minute"), {}};
            case 401: return {401, QStringLiteral("wrong password"), {}};
            }
        } else {
            const QByteArray session = cookie(header("cookie"), kSessionCookie);
            if (session.isEmpty() || !touch(session))
                return {401, QStringLiteral("password needed"), {}};
            v.session = session;
        }
    }
    if (changesState) {
        const Verdict o = checkOrigin(header, !v.session.isEmpty(), client.scheme);
        if (o.status)
            return o;
    }
    return v;
}

Verdict Access::checkOrigin(const HeaderLookup &header, bool bySession, const QByteArray &scheme)
{
    // A browser names the page a request comes from; a request from another
    // site's page is refused, and a session's requests must be named so.
    const QByteArray origin = header("origin"), site = header("sec-fetch-site");
    if (!origin.isEmpty() && origin.compare(scheme + "://" + header("host"), Qt::CaseInsensitive) != 0)
        return {403, QStringLiteral("a request from another site's page"), {}};
    if (!site.isEmpty() && site != "same-origin" && site != "none")
        return {403, QStringLiteral("a request from another site's page"), {}};
    if (bySession && origin.isEmpty() && site.isEmpty())
        return {403, QStringLiteral("a session's request must say where it comes from (Origin)"), {}};
    return {};
}

bool Access::hostAllowed(const QByteArray &host) const { return hasPassword() || namesAnAddress(host); }

QByteArray Access::login(const QByteArray &password, const Client &client, int *status)
{
    const qint64 now = clock_.elapsed();
    if (!hasPassword()) {
        *status = 401;
        return {};
    }
    if ((*status = judge(password, client)) != 0)
        return {};
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
