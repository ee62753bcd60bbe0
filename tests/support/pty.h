#pragma once
#include <QByteArray>
#include <QString>

namespace qm25::test {

// A pseudo-terminal pair: the panel opens the device end (path()), the test
// plays the projector on the master end. Given a path, the other end of a
// line that someone else serves (the simulator's terminal) instead.
class PtyPeer {
public:
    PtyPeer();
    explicit PtyPeer(const QString &devicePath);
    ~PtyPeer();
    PtyPeer(const PtyPeer &) = delete;
    PtyPeer &operator=(const PtyPeer &) = delete;

    bool ok() const { return master_ >= 0; }
    QString path() const { return path_; }

    bool write(const QByteArray &bytes);
    // Reads until `count` bytes arrived or `timeoutMs` passed; returns what came.
    QByteArray readExactly(int count, int timeoutMs = 5000);
    // Reads what arrives until `terminator` is seen or `timeoutMs` passed.
    QByteArray readUntil(char terminator, int timeoutMs = 5000);
    // Everything that arrives within `ms`.
    QByteArray drain(int ms);
    // The line speed the device end is set to, or -1.
    int deviceBaud() const;
    // Closes this end: a pseudo-terminal's device end sees a hang-up.
    void hangUp();

private:
    int master_ = -1;
    QString path_;
};

// CPU time this process has used, in milliseconds.
double processCpuMs();

}  // namespace qm25::test
