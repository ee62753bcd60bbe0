#pragma once
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>

#include "core/exchange_client.h"
#include "line/port_line.h"

namespace qm25::gateway {

// Which device to open, and how messages name it: asked again at every
// attempt, so a stable name finds an adapter in whatever socket it is now.
struct DeviceChoice {
    QString device;
    QString label;
};

// Holds the line to the projector for as long as the gateway runs: opens
// it, and when it cannot be opened or is lost, tries again every retry
// period until it is back. Says so once per outage, and once when the line
// is back. Exchanges go through client(); while the line is down they end
// Lost at once.
class LineKeeper : public QObject {
    Q_OBJECT
public:
    LineKeeper(std::function<DeviceChoice()> choose, const QString &settings, int retryMs,
               QObject *parent = nullptr);

    // The first attempt; later ones follow by themselves.
    void start();
    ExchangeClient *client() { return &client_; }
    bool isUp() const { return up_; }
    // Whether the line goes through a device server, which sets its speed.
    bool isDeviceServer() const { return line_.isDeviceServer(); }

signals:
    void up(const QString &label);
    // Lost, or could not be opened; `why` names the device and the reason.
    void down(const QString &why);

private:
    void attempt();
    void opened();
    void failed(const QString &why);

    std::function<DeviceChoice()> choose_;
    PortLine line_;
    ExchangeClient client_{&line_};
    QTimer retry_;
    QString label_;
    bool up_ = false;
    bool outageReported_ = false;
};

}  // namespace qm25::gateway
