#pragma once
#include <QByteArray>
#include <QString>

#include "core/line.h"
#include "core/line_settings.h"

class QSerialPort;

namespace qm25 {

// The line to the projector over a serial port, chosen by number (COM1,
// COM2), with its line settings. Characters are bytes both ways. Everything
// runs on the thread the line lives on.
class SerialLine : public Line {
    Q_OBJECT
public:
    explicit SerialLine(QObject *parent = nullptr);
    ~SerialLine() override;

    int portNumber() const { return port_; }
    // Selects the port; refused while the port is open.
    bool setPortNumber(int port);
    // Names the device directly instead of through the port number (a
    // program's --port option); empty: through the number again. Refused
    // while the port is open.
    bool setDevice(const QString &device);
    // The device named directly, else the one behind the current port number.
    QString deviceName() const;

    QString settings() const { return settingsText_; }
    // Takes effect at once on an open port, otherwise at the next opening.
    // A malformed text, or one the open port refuses, is refused and the
    // settings in force stay.
    bool setSettings(const QString &text);

    bool isOpen() const { return open_; }
    // Opens the numbered port with the settings in force.
    bool open();
    void close();

    // Refused when the port is closed or the write fails.
    bool write(const QByteArray &bytes, QString *why) override;

    // What the message of a lost link tells the user to do; by default to
    // choose the port again under COM, as on the panel.
    void setLossAdvice(const QString &advice) { lossAdvice_ = advice; }

    // Why the last refused call was refused, or why the link was lost.
    QString errorText() const { return error_; }

protected:
    // The device layer, over QSerialPort; a test may stand in for parts of it.
    virtual bool openDevice(const QString &device, const LineSettings &settings, QString *error);
    virtual void closeDevice();
    virtual bool applySettings(const LineSettings &settings, QString *error);
    virtual bool writeBytes(const QByteArray &bytes, QString *error);

private:
    // The open device failed: closes at once and reports the loss once.
    void deviceLost(const QString &why);
    void onError(int code);
    // The port as messages name it: "COM1 (/dev/ttyS0)", or the device
    // alone when it was named directly.
    QString portLabel() const;

    QSerialPort *serial_;
    bool opening_ = false;
    int port_ = 1;
    QString device_;
    QString lossAdvice_ = QStringLiteral("Check the cable and the adapter, then choose the port again under COM.");
    QString settingsText_ = QStringLiteral("9600,N,8,1");
    LineSettings settings_;
    bool open_ = false;
    QString error_;
};

}  // namespace qm25
