#pragma once
#include <QString>

#include "core/line.h"
#include "core/line_settings.h"

namespace qm25 {

// A line on one device: a serial port, or a device server's TCP connection.
// Characters are bytes both ways. Everything runs on the thread the line
// lives on. Its messages say what went wrong, not which port it was: the
// port line that holds it names the port.
class DeviceLine : public Line {
    Q_OBJECT
public:
    using Line::Line;

    // Opens the device with the settings. False when that failed at once,
    // with *why; true when it is open, or still connecting, in which case
    // opened() or openFailed() follows from the event loop.
    virtual bool open(const LineSettings &settings, QString *why) = 0;
    // Closes the device, or gives up connecting. Closing reports nothing.
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    virtual bool isConnecting() const { return false; }
    // Applies settings to the open device; false, with *why, when it refuses
    // them. A device server sets its own line's speed and takes none.
    virtual bool applySettings(const LineSettings &settings, QString *why) = 0;
    virtual bool setsItsOwnSpeed() const { return false; }
    // What the operator should check when the line is lost.
    virtual QString whatToCheck() const = 0;

signals:
    void opened();
    void openFailed(const QString &why);
};

}  // namespace qm25
