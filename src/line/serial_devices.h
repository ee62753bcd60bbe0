#pragma once
#include <QList>
#include <QString>

namespace qm25 {

// A serial port the system has, as the device chooser lists it.
struct SerialDevice {
    QString device;      // /dev/ttyUSB0
    QString stableName;  // /dev/serial/by-id/..., or empty
    QString description;
    QString manufacturer;
    QString serialNumber;
    QString holder;      // the program holding it (see portHolder), or empty
    bool operator==(const SerialDevice &) const = default;
};

// The serial ports there are now, in the system's order.
QList<SerialDevice> serialDevices();

// The program that holds a port through its lock file, as "minicom,
// process 1234" ("this program" for this one; "a stale lock file of a
// program that has ended" when its process is gone: the port opens all the
// same), or an empty text.
QString portHolder(const QString &device);

}  // namespace qm25
