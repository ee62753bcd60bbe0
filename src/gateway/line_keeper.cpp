#include "gateway/line_keeper.h"

namespace qm25::gateway {

LineKeeper::LineKeeper(std::function<DeviceChoice()> choose, const QString &settings, int retryMs, QObject *parent)
    : QObject(parent), choose_(std::move(choose))
{
    line_.setSettings(settings);
    line_.setLossAdvice(QStringLiteral("it is opened again as soon as it is back."));
    retry_.setSingleShot(true);
    retry_.setInterval(retryMs);
    connect(&retry_, &QTimer::timeout, this, &LineKeeper::attempt);
    connect(&line_, &PortLine::opened, this, &LineKeeper::opened);
    connect(&line_, &PortLine::openFailed, this, &LineKeeper::failed);
    connect(&line_, &Line::lost, this, [this](const QString &why) {
        // The exchange client has seen the loss too: exchanges end Lost.
        failed(why);
    });
}

void LineKeeper::start() { attempt(); }

void LineKeeper::attempt()
{
    const DeviceChoice choice = choose_();
    label_ = choice.label.isEmpty() ? choice.device : choice.label;
    if (!line_.setDevice(choice.device, choice.label) || !line_.open()) {
        failed(line_.errorText());
        return;
    }
    if (line_.isOpen())
        opened();
    // else connecting to a device server: opened() or openFailed() follows
}

void LineKeeper::opened()
{
    retry_.stop();
    up_ = true;
    outageReported_ = false;
    client_.lineRestored();
    emit up(label_);
}

void LineKeeper::failed(const QString &why)
{
    const bool wasUp = up_;
    up_ = false;
    line_.close();
    retry_.start();
    if (wasUp || !outageReported_) {
        outageReported_ = true;
        emit down(why);
    }
}

}  // namespace qm25::gateway
