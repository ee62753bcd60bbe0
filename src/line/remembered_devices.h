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
// device is remembered; other groups in it are kept. Only a plain file of at
// most 64 KiB is read. A file that cannot be read, or holds anything but
// device names, counts as empty, with one warning on standard error. It is
// never lost: one that could not be read is left alone (nothing can be
// remembered then), and a damaged one is kept as FILE.bak when a device is
// remembered.
class RememberedDevices {
public:
    explicit RememberedDevices(const QString &path = defaultPath()) : path_(path) {}

    static QString defaultPath();
    QString path() const { return path_; }

    // The device remembered for a port, or an empty text.
    QString device(int port) const;
    // Remembers a device for a port, by its stable name where it has one.
    // False, with the reason, when the file cannot be written, or could not
    // be read.
    bool remember(int port, const QString &device, QString *error);
    // Where a damaged file is kept.
    QString backupPath() const;

    enum class Problem { None, Damaged, Unreadable };

private:
    void load() const;

    QString path_;
    mutable bool loaded_ = false;
    mutable Problem problem_ = Problem::None;
    mutable QString why_;  // what is wrong with the file
    mutable QHash<int, QString> devices_;
};

}  // namespace qm25
