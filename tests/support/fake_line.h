#pragma once
#include <QByteArray>
#include <QList>
#include <QString>
#include <utility>

#include "core/line.h"

namespace qm25::test {

// A line without a device: records what goes out, delivers what a test
// feeds in, refuses writes when told to, and can be lost. Bytes can also
// wait in it undelivered, as in a device's buffer, until the next write.
class FakeLine : public Line {
public:
    QList<QByteArray> written;  // one entry per write, in order
    QByteArray waiting;         // come in, not delivered yet: dropped by discardInput(), else delivered after a write
    QString refusal;            // when set, every write is refused with it
    bool lostOnWrite = false;   // the next write finds the device gone

    bool write(const QByteArray &bytes, QString *why) override
    {
        if (lostOnWrite) {
            lostOnWrite = false;
            hangUp();
            *why = QStringLiteral("port closed");
            return false;
        }
        if (!refusal.isEmpty()) {
            *why = refusal;
            return false;
        }
        written.append(bytes);
        if (!waiting.isEmpty())
            emit received(std::exchange(waiting, {}));
        return true;
    }
    void discardInput() override { waiting.clear(); }
    void feed(const QByteArray &bytes) { emit received(bytes); }
    void hangUp(const QString &why = QStringLiteral("Input/output error")) { emit lost(why); }
};

}  // namespace qm25::test
