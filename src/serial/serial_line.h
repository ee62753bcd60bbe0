#pragma once
#include <QByteArray>
#include <QString>

#include "core/line.h"
#include "core/line_settings.h"
#include "serial/tcp_device.h"

class QSerialPort;
class QTcpSocket;
class QTimer;

namespace qm25 {

// The line to the projector over a serial port, chosen by number (COM1,
// COM2), with its line settings. Characters are bytes both ways. Everything
// runs on the thread the line lives on.
//
// A port whose device is a device server (tcp://HOST:PORT) is the same line
// over a raw TCP connection. It is connected without blocking: open()
// returns at once with the line connecting, and opened() or openFailed()
// follows from the event loop, within kTcpConnectTimeoutMs. The server sets
// the speed of its serial line: settings are kept for the next serial port.
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
    // Takes effect at once on an open port, otherwise at the next opening;
    // on a device server it is kept for the next serial port. A malformed
    // text, or one the open port refuses, is refused and the settings in
    // force stay.
    bool setSettings(const QString &text);

    bool isOpen() const { return open_; }
    // A connection to a device server is under way.
    bool isConnecting() const { return connecting_; }
    // Whether the current port's device is a device server.
    bool isDeviceServer() const { return isTcpDevice(deviceName()); }
    // Opens the numbered port with the settings in force. False when it
    // failed at once; true when it is open, or connecting to a device server.
    bool open();
    // Waits, with the event loop running, until a connection under way is
    // made or has failed (within the connection's time-out); whether the
    // port is open. Only for a program that has nothing else to do meanwhile:
    // at start-up, before any window shows, or on the command line.
    bool finishOpening();
    // Closes the port, or gives up connecting.
    void close();

    // Refused when the port is closed or still connecting, or the write fails.
    bool write(const QByteArray &bytes, QString *why) override;

    // What the message of a lost link tells the user to do; by default to
    // choose the port again under COM, as on the panel.
    void setLossAdvice(const QString &advice) { lossAdvice_ = advice; }

    // Why the last refused call was refused, or why the link was lost.
    QString errorText() const { return error_; }

signals:
    // The connection to the device server is made; the port is open.
    void opened();
    // Connecting failed or timed out; the port is closed and `why`, which
    // errorText() also gives, names the host, the port and the reason.
    void openFailed(const QString &why);

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
    void closeLink();
    void connectFailed(ConnectFailure failure, const QString &system);
    void onSocketError(int code);
    bool sendToServer(const QByteArray &bytes, QString *error);

    QSerialPort *serial_;
    QTcpSocket *socket_;
    QTimer *connectTimer_;
    std::optional<TcpDevice> server_;  // while connecting or open on a device server
    bool connecting_ = false;
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
