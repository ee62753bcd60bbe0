#pragma once
// Wrong passwords, counted per client address for both front doors that ask
// for the password (PJLink and the web panel, which share it): a guesser
// gets the same few tries a minute whichever door it knocks at, and its
// guessing locks out no other machine.
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTimer>
#include <deque>
#include <functional>
#include <map>

namespace qm25::gateway {

class PasswordThrottle : public QObject {
    Q_OBJECT
public:
    // Wrong passwords from one address within a minute after which its tries
    // are refused, unjudged, until the oldest of them is a minute old.
    static constexpr int kMaxFailures = 10;
    static constexpr qint64 kWindowMs = 60000;
    // Addresses remembered at once; beyond them the one with the fewest
    // recent wrong passwords goes.
    static constexpr int kMaxAddresses = 1024;

    // `clock`: milliseconds from any start; a steady clock when not given.
    explicit PasswordThrottle(std::function<qint64()> clock = {}, QObject *parent = nullptr);

    // Whether a password from `client` is judged now. A refused try is said
    // at once the first time, then counted into one line a minute.
    bool admits(const QHostAddress &client, const QString &door);
    // A wrong password from `client`.
    void failed(const QHostAddress &client);
    int addresses() const { return int(table_.size()); }
    // The tries refused since the last report, one line per address.
    void report();

signals:
    void log(const QString &line);

private:
    struct Entry {
        std::deque<qint64> failures;  // within the last minute, oldest first
        qint64 lastSeen = 0;
        int refused = 0;              // since the last report
        bool reporting = false;       // refused within the last report's minute
    };
    Entry &entry(const QString &key, qint64 now);
    void forget(std::map<QString, Entry>::iterator it);

    std::function<qint64()> clock_;
    std::map<QString, Entry> table_;
    QTimer report_;
};

}  // namespace qm25::gateway
