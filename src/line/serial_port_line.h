#pragma once
#include <QString>

#include "line/device_line.h"

class QSerialPort;

namespace qm25 {

// The line over a serial port (/dev/ttyUSB0, COM1). A failed open says why
// and what the operator can do about it: the device is missing, is no
// serial port, may not be used, or is held by another program (named).
class SerialPortLine : public DeviceLine {
    Q_OBJECT
public:
    explicit SerialPortLine(const QString &device, QObject *parent = nullptr);
    ~SerialPortLine() override;

    bool open(const LineSettings &settings, QString *why) override;
    void close() override;
    bool isOpen() const override { return open_; }
    bool applySettings(const LineSettings &settings, QString *why) override;
    bool write(const QByteArray &bytes, QString *why) override;
    void discardInput() override;
    QString whatToCheck() const override { return QStringLiteral("Check the cable and the adapter"); }

    // Whether a report of the port (a QSerialPort::SerialPortError) is a
    // lost line: a failure reported while the port is open. No error and a
    // read time-out are no failure; a failure while opening is returned by
    // open(); after closing, a vanished device's repeats are not a loss again.
    static bool isLoss(int error, bool opening, bool open);

private:
    void onError(int code);

    QString device_;
    QSerialPort *serial_;
    bool open_ = false;
    bool opening_ = false;
};

}  // namespace qm25
