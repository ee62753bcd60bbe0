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
    ~PtyPeer() { hangUp(); }
    PtyPeer(const PtyPeer &) = delete;
    PtyPeer &operator=(const PtyPeer &) = delete;

    QString path() const { return path_; }
    bool write(const QByteArray &bytes);
    // What arrives until there are `count` bytes or `timeoutMs` has passed;
    // the event loop runs meanwhile (the panel may live in this process).
    QByteArray readExactly(int count, int timeoutMs = 5000);
    // The line speed the device end is set to (9600 or 19200), or 0.
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
