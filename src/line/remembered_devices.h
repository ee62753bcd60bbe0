#pragma once
#include <QHash>
#include <QString>

namespace qm25 {

// The devices the operator asked to remember, one per port, in a settings
// file (by default qm25-control/qm25-control.conf in the user's
// configuration folder, $XDG_CONFIG_HOME or ~/.config):
//
//   [devices]
//   COM1=/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0
//
// The file is read once, at the first look-up, and written only when a
// device is remembered. A file that cannot be read or holds anything but
// device names counts as empty, with one warning on standard error.
class RememberedDevices {
public:
    explicit RememberedDevices(const QString &path = defaultPath()) : path_(path) {}

    static QString defaultPath();
    QString path() const { return path_; }

    // The device remembered for a port, or an empty text.
    QString device(int port) const;
    // Remembers a device for a port, by its stable name where it has one.
    // A settings file that held nonsense is replaced. False, with the
    // reason, when the file cannot be written.
    bool remember(int port, const QString &device, QString *error);

private:
    void load() const;

    QString path_;
    mutable bool loaded_ = false;
    mutable bool nonsense_ = false;  // the file is there but holds no usable settings
    mutable QHash<int, QString> devices_;
};

}  // namespace qm25
