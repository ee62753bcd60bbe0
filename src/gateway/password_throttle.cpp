#include "gateway/password_throttle.h"

#include <QElapsedTimer>
#include <algorithm>
#include <memory>

#include "gateway/peer.h"

namespace qm25::gateway {

PasswordThrottle::PasswordThrottle(std::function<qint64()> clock, QObject *parent)
    : QObject(parent), clock_(std::move(clock))
{
    if (!clock_) {
        auto steady = std::make_shared<QElapsedTimer>();
        steady->start();
        clock_ = [steady] { return steady->elapsed(); };
    }
    report_.setInterval(int(kWindowMs));
    connect(&report_, &QTimer::timeout, this, &PasswordThrottle::report);
}

PasswordThrottle::Entry &PasswordThrottle::entry(const QString &key, qint64 now)
{
    const auto found = table_.find(key);
    if (found != table_.end())
        return found->second;
    if (int(table_.size()) >= kMaxAddresses) {
        // The one with the fewest wrong passwords within the minute, of those
        // the one quiet longest: addresses that come and go push out each
        // other, not a guesser that has used up its tries.
        const auto weight = [now](const Entry &e) {
            const auto recent = std::count_if(e.failures.begin(), e.failures.end(), [now](qint64 t) { return now - t < kWindowMs; });
            return std::pair{recent, e.lastSeen};
        };
        forget(std::min_element(table_.begin(), table_.end(),
                                [&](const auto &a, const auto &b) { return weight(a.second) < weight(b.second); }));
    }
    Entry &e = table_[key];
    e.lastSeen = now;
    return e;
}

void PasswordThrottle::forget(std::map<QString, Entry>::iterator it)
{
    if (it->second.refused > 0)
        emit log(QStringLiteral("%1: %2 more tries refused: too many wrong passwords").arg(it->first).arg(it->second.refused));
    table_.erase(it);
}

bool PasswordThrottle::admits(const QHostAddress &client, const QString &door)
{
    const auto it = table_.find(plainAddress(client).toString());
    if (it == table_.end())
        return true;
    const qint64 now = clock_();
    Entry &e = it->second;
    while (!e.failures.empty() && now - e.failures.front() >= kWindowMs)
        e.failures.pop_front();
    if (int(e.failures.size()) < kMaxFailures)
        return true;
    e.lastSeen = now;
    if (e.reporting) {
        ++e.refused;
    } else {
        e.reporting = true;
        emit log(QStringLiteral("%1: too many wrong passwords (%2 within a minute): its tries are refused for now "
                                "(the first at %3), and counted once a minute")
                     .arg(it->first).arg(kMaxFailures).arg(door));
    }
    if (!report_.isActive())
        report_.start();
    return false;
}

void PasswordThrottle::failed(const QHostAddress &client)
{
    const qint64 now = clock_();
    Entry &e = entry(plainAddress(client).toString(), now);
    e.failures.push_back(now);
    while (int(e.failures.size()) > kMaxFailures || now - e.failures.front() >= kWindowMs)
        e.failures.pop_front();
    e.lastSeen = now;
}

void PasswordThrottle::report()
{
    bool more = false;
    for (auto &[key, e] : table_) {
        if (e.refused > 0)
            emit log(QStringLiteral("%1: %2 tries refused in the last minute: too many wrong passwords").arg(key).arg(e.refused));
        e.reporting = e.refused > 0;
        e.refused = 0;
        more = more || e.reporting;
    }
    if (!more)
        report_.stop();
}

}  // namespace qm25::gateway
