#pragma once
#include <QByteArray>
#include <QString>
#include <functional>
#include <memory>

#include "core/line.h"
#include "core/line_settings.h"
#include "line/device_line.h"

namespace qm25 {

// The line to the projector on the device it is given: a serial port, or a
// device server's TCP connection for a device named tcp://HOST:PORT. It
// keeps the line settings, which apply to the device open now or to the
// next one, and names the port in every message: "Cannot open COM1
// (/dev/ttyS0): ...", "COM1 (/dev/ttyS0) was lost: ...".
class PortLine : public Line {
    Q_OBJECT
public:
    explicit PortLine(QObject *parent = nullptr);
    ~PortLine() override;

    // The device, and how messages name the port ("COM1 (/dev/ttyS0)"; empty:
    // by the device alone). Refused while the port is open or connecting.
    bool setDevice(const QString &device, const QString &label = {});
    QString device() const { return device_; }

    QString settings() const { return settingsText_; }
    // Takes effect at once on an open port, otherwise at the next opening;
    // on a device server it is kept for the next serial port. A malformed
    // text, or one the open port refuses, is refused and the settings in
    // force stay.
    bool setSettings(const QString &text);

    // Opens the device with the settings in force. False when it failed at
    // once; true when it is open, or connecting to a device server, in which
    // case opened() or openFailed() follows.
    bool open();
    // Waits, with the event loop running, until a connection under way is
    // made or has failed; whether the port is open. Only for a program that
    // has nothing else to do meanwhile: at start-up, before any window
    // shows, or on the command line.
    bool finishOpening();
    // Closes the port, or gives up connecting.
    void close();

    bool isOpen() const;
    bool isConnecting() const;
    // Whether the device is a device server, which sets its line's speed.
    bool isDeviceServer() const;

    // Refused when the port is closed or still connecting, or the write fails.
    bool write(const QByteArray &bytes, QString *why) override;
    void discardInput() override;

    // What the message of a lost line tells the user to do after checking
    // the line; by default to choose the port again under COM, as on the panel.
    void setLossAdvice(const QString &advice) { lossAdvice_ = advice; }

    // Why the last refused call was refused, or why the line was lost.
    QString errorText() const { return error_; }

    // Where the device lines come from; a test may stand in for them.
    using DeviceFactory = std::function<std::unique_ptr<DeviceLine>(const QString &device)>;
    void setDeviceFactory(DeviceFactory factory) { factory_ = std::move(factory); }
    static std::unique_ptr<DeviceLine> makeDeviceLine(const QString &device);

signals:
    // The connection to the device server is made; the port is open.
    void opened();
    // Connecting failed or timed out; the port is closed and `why`, which
    // errorText() also gives, names the port and the reason.
    void openFailed(const QString &why);

private:
    QString label() const { return label_.isEmpty() ? device_ : label_; }

    DeviceFactory factory_ = makeDeviceLine;
    std::unique_ptr<DeviceLine> line_;  // on device_, once opened
    QString device_;
    QString label_;
    QString settingsText_ = QStringLiteral("9600,N,8,1");
    LineSettings settings_;
    QString lossAdvice_ = QStringLiteral("choose the port again under COM.");
    QString error_;
};

}  // namespace qm25
