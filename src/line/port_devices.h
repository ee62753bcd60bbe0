#pragma once
#include <QHash>
#include <QString>

namespace qm25 {

class RememberedDevices;

// Where the device behind a port number comes from.
enum class DeviceSource { RunOption, Environment, Remembered, Default };

struct PortDevice {
    QString name;    // as named by its source
    QString device;  // what it leads to now (a stable name resolved)
    DeviceSource source = DeviceSource::Default;
};

// Which device a port number (COM1, COM2, ...) means. The first of these
// that names one:
//   1. the device named for the port in this run: on the command line
//      (--com1, --com2) or chosen in the panel;
//   2. QM25_COM1, QM25_COM2 in the environment;
//   3. the device the operator asked to remember;
//   4. the platform's default: /dev/ttyS0, /dev/ttyS1 ("COM1", "COM2" on
//      Windows).
// A stable name (a link in the stable-names folder, /dev/serial/by-id)
// stands for the device it leads to now, so an adapter is found in any
// socket; a stable name whose link has gone is kept as it is, so that the
// failed open names it. Any other text is passed on unchanged: a path, a
// pseudo-terminal, a tcp://HOST:PORT device server.
class PortDevices {
public:
    explicit PortDevices(RememberedDevices *remembered = nullptr) : remembered_(remembered) {}

    // Names the device behind a port for the rest of the run; an empty text
    // takes the name back.
    void nameForRun(int port, const QString &device);
    PortDevice lookUp(int port) const;
    QString deviceFor(int port) const { return lookUp(port).device; }
    // How messages name the port: "COM1 (/dev/ttyS0)".
    QString label(int port) const;

    RememberedDevices *remembered() const { return remembered_; }

private:
    QHash<int, QString> runNames_;
    RememberedDevices *remembered_;
};

// Where a device came from, in a few words ("remembered").
QString sourceText(DeviceSource source, int port);
QString defaultPortDevice(int port);

// The folder of stable names: /dev/serial/by-id, or the one a test set
// (an empty text restores the system's).
QString stableNamesFolder();
void setStableNamesFolder(const QString &folder);
// The stable name of a device (the link in that folder that leads to it),
// or an empty text where it has none.
QString stableDeviceName(const QString &device);
// The device a stable name leads to now; any other name as it is.
QString resolveDeviceName(const QString &name);

}  // namespace qm25
