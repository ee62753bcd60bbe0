#pragma once
#include <QByteArray>
#include <QObject>
#include <QString>

namespace qm25 {

// The link to the projector as the exchanges see it: bytes go out, bytes
// come in, and the link may be lost. A serial port is one such link, a
// device server's TCP connection another.
class Line : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // Puts the bytes on the line at once, in order, nothing added. False when
    // they did not go out; *why then says why.
    virtual bool write(const QByteArray &bytes, QString *why) = 0;

    // Drops whatever has come in and not been delivered yet: an exchange
    // that starts wants only the reply to its own frame.
    virtual void discardInput() {}

signals:
    // Bytes came from the projector, in the order they arrived.
    void received(const QByteArray &bytes);
    // The link has gone (device removed, hang-up, connection closed); it is
    // closed already. Emitted once, at once, from within the event in which
    // the loss showed, so whatever drives the line can stop before anything
    // else runs. Receivers must not wait for the operator in it.
    void lost(const QString &why);
};

}  // namespace qm25
