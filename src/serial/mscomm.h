#pragma once
#include <QByteArray>
#include <QObject>
#include <QString>

#include "serial/comm_settings.h"

class QSerialPort;

namespace qm25 {

// The serial control: one port, chosen by number, with its line settings.
// Characters are bytes: each character goes out as the byte of the same
// code (a character above 255 as "?"), and each byte received comes back as
// the character of the same code. Everything runs on the window's thread.
class MSComm : public QObject {
    Q_OBJECT
public:
    enum { comEvReceive = 2 };

    explicit MSComm(QObject *parent = nullptr);
    ~MSComm() override;

    int CommPort() const { return port_; }
    // Selects the port; refused while the port is open.
    bool setCommPort(int port);

    QString Settings() const { return settingsText_; }
    // Takes effect at once on an open port, otherwise at the next opening.
    // A malformed text is refused and the settings in force stay.
    bool setSettings(const QString &text);
    const LineSettings &lineSettings() const { return settings_; }

    bool PortOpen() const { return open_; }
    // Opens the numbered port with the settings in force, or closes it.
    bool setPortOpen(bool open);

    // Puts the text on the line at once, one byte per character. Refused
    // when the port is closed or the write fails.
    bool Output(const QString &text);
    // Every character waiting now; they are removed from the control.
    QString Input();
    int CommEvent() const { return commEvent_; }

    // What went wrong in the last refused call, or why the link was lost.
    QString errorText() const { return error_; }
    // The device of the current port number.
    QString deviceName() const;

signals:
    // Characters are waiting (CommEvent 2).
    void OnComm();
    // The open port failed (device gone, hang-up). Emitted once per loss, at
    // once, from within the event in which the failure showed; the port is
    // already closed. Receivers must not wait for the operator in it.
    void LinkLost(const QString &description);

protected:
    // The device layer. Only these differ between the real port and a fake.
    virtual bool openDevice(const QString &device, const LineSettings &settings, QString *error) = 0;
    virtual void closeDevice() = 0;
    virtual bool applySettings(const LineSettings &settings, QString *error) = 0;
    virtual bool writeBytes(const QByteArray &bytes, QString *error) = 0;
    virtual QByteArray readBytes() = 0;

    // For the device layer: characters have arrived.
    void received();
    // For the device layer: the open device failed. Closes at once and
    // reports the loss once.
    void lost(const QString &why);

private:
    int port_ = 1;
    QString settingsText_ = QStringLiteral("9600,N,8,1");
    LineSettings settings_;
    bool open_ = false;
    int commEvent_ = 0;
    QString error_;
};

// The serial control on a real serial device (or a pseudo-terminal).
class SerialPortComm : public MSComm {
    Q_OBJECT
public:
    explicit SerialPortComm(QObject *parent = nullptr);
    ~SerialPortComm() override;

protected:
    bool openDevice(const QString &device, const LineSettings &settings, QString *error) override;
    void closeDevice() override;
    bool applySettings(const LineSettings &settings, QString *error) override;
    bool writeBytes(const QByteArray &bytes, QString *error) override;
    QByteArray readBytes() override;

private:
    void onError(int code);
    QSerialPort *port_;
    bool opening_ = false;
};

}  // namespace qm25
