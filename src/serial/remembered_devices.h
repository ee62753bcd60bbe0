#pragma once
#include <QString>

namespace qm25 {

// The devices the operator asked to remember, one per port, in the user's
// configuration folder ($XDG_CONFIG_HOME, else ~/.config):
//
//   qm25-control/qm25-control.conf
//   [devices]
//   COM1=/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0
//
// The file is read once, at the first look-up, and written only when a
// device is remembered. A file that cannot be read or holds anything but
// device names counts as empty, with one warning on standard error.
QString settingsFilePath();
// Another file (tests); the next look-up reads it afresh. An empty text
// restores the user's own.
void setSettingsFilePath(const QString &path);

// The device remembered for a port, or an empty text.
QString rememberedDevice(int port);
// Remembers a device for a port, by its stable name where it has one (see
// device_names.h). A settings file that held nonsense is replaced. False,
// with the reason, when the file cannot be written.
bool rememberDevice(int port, const QString &device, QString *error);

}  // namespace qm25
