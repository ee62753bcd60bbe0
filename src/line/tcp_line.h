#pragma once
#include <QString>
#include <memory>
#include <optional>

#include "line/device_line.h"
#include "line/tcp_device.h"
#include "line/tcp_socket.h"

class QTimer;

namespace qm25 {

// The line to a serial device server (tcp://HOST:PORT): the projector's
// RS-232C line ends at the server, which passes its bytes over a raw TCP
// connection. Connecting does not block: open() returns at once with the
// line connecting, and opened() or openFailed() follows from the event
// loop, within kTcpConnectTimeoutMs. The server sets its serial line's
// speed itself. The socket comes from the network module (tcp_socket.h),
// loaded at the first opening.
class TcpLine : public DeviceLine {
    Q_OBJECT
public:
    explicit TcpLine(const QString &device, QObject *parent = nullptr);
    ~TcpLine() override;

    bool open(const LineSettings &settings, QString *why) override;
    void close() override;
    bool isOpen() const override { return open_; }
    bool isConnecting() const override { return connecting_; }
    bool applySettings(const LineSettings &, QString *) override { return true; }
    bool setsItsOwnSpeed() const override { return true; }
    bool write(const QByteArray &bytes, QString *why) override;
    void discardInput() override;
    QString whatToCheck() const override { return QStringLiteral("Check the device server and the network"); }

private:
    void connectFailed(ConnectFailure failure, const QString &system);
    void onSocketError(TcpSocket::Error error, const QString &system);
    void connectionLost(const QString &why);

    QString device_;
    std::unique_ptr<TcpSocket> socket_;  // once the module is loaded
    QTimer *connectTimer_;
    std::optional<TcpDevice> server_;  // while connecting or open
    bool connecting_ = false;
    bool opening_ = false;
    bool open_ = false;
    QString failure_;  // why the last connection failed
};

}  // namespace qm25
