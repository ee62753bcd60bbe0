#pragma once
#include <QDialog>
#include <QList>
#include <QString>
#include <QTimer>
#include <functional>
#include <optional>

#include "line/port_devices.h"
#include "line/serial_devices.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTreeWidget;

namespace qm25 {

// What the operator chose for a port.
struct DeviceChoice {
    QString device;         // empty: the same device again (Retry)
    bool remember = false;  // keep it for the next start
};

// The device chooser: the serial ports the system has, refreshed while it is
// open so that an adapter plugged in shows up, a field for any other device,
// and whether to remember the choice. A listed port is chosen by its stable
// name where it has one. Given the reason a port could not be opened at
// start-up, it says so and offers Retry and Quit instead of Cancel.
class DeviceChooser : public QDialog {
    Q_OBJECT
public:
    enum { Retry = 2 };  // the result of Retry, beside Accepted and Rejected

    // `now`: the device the port means now.
    DeviceChooser(int port, const PortDevice &now, const QString &startUpFailure = {}, QWidget *parent = nullptr);

    // What Open or Retry chose.
    DeviceChoice choice() const;

    // Where the list comes from (the system by default); refreshes the list.
    void setPortSource(std::function<QList<SerialDevice>()> source);

private:
    void refresh();
    void updateOpenButton();

    int port_;
    std::function<QList<SerialDevice>()> source_ = serialDevices;
    QList<SerialDevice> shown_;
    QTreeWidget *list_;
    QLabel *empty_;
    QLineEdit *other_;
    QCheckBox *remember_;
    QPushButton *open_;
    QTimer refreshTimer_;
};

// Shows the chooser and waits for the operator; nothing when cancelled or
// quit.
std::optional<DeviceChoice> askForDevice(int port, const PortDevice &now, const QString &startUpFailure,
                                         QWidget *parent);

}  // namespace qm25
