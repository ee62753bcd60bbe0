#include "line/port_line.h"

#include <QEventLoop>

#include "line/serial_port_line.h"
#include "line/tcp_device.h"
#include "line/tcp_line.h"

namespace qm25 {

PortLine::PortLine(QObject *parent) : Line(parent) { settings_ = *parseCommSettings(settingsText_); }

PortLine::~PortLine() = default;

std::unique_ptr<DeviceLine> PortLine::makeDeviceLine(const QString &device)
{
    if (isTcpDevice(device))
        return std::make_unique<TcpLine>(device);
    return std::make_unique<SerialPortLine>(device);
}

bool PortLine::isOpen() const { return line_ && line_->isOpen(); }
bool PortLine::isConnecting() const { return line_ && line_->isConnecting(); }
bool PortLine::isDeviceServer() const { return isTcpDevice(device_); }

bool PortLine::setDevice(const QString &device, const QString &label)
{
    if (isOpen() || isConnecting()) {
        error_ = QStringLiteral("The device cannot change while the port is open");
        return false;
    }
    if (device != device_)
        line_.reset();
    device_ = device;
    label_ = label;
    return true;
}

bool PortLine::setSettings(const QString &text)
{
    QString why;
    const auto parsed = parseCommSettings(text, &why);
    if (!parsed) {
        error_ = why;
        return false;
    }
    if (isOpen() && !line_->applySettings(*parsed, &why)) {
        error_ = QStringLiteral("%1: %2").arg(label(), why);
        return false;
    }
    settingsText_ = text;
    settings_ = *parsed;
    return true;
}

bool PortLine::open()
{
    if (isOpen() || isConnecting())
        return true;
    if (device_.isEmpty()) {
        error_ = QStringLiteral("Cannot open the port: no device is named for it");
        return false;
    }
    if (!line_) {
        line_ = factory_(device_);
        DeviceLine *line = line_.get();
        connect(line, &Line::received, this, &Line::received);
        connect(line, &Line::lost, this, [this, line](const QString &why) {
            error_ = QStringLiteral("%1 was lost: %2. %3, then %4").arg(label(), why, line->whatToCheck(), lossAdvice_);
            // Passed on at once, from within the event in which it showed.
            const QString description = error_;
            emit lost(description);
        });
        connect(line, &DeviceLine::opened, this, &PortLine::opened);
        connect(line, &DeviceLine::openFailed, this, [this](const QString &why) {
            error_ = QStringLiteral("Cannot open %1: %2").arg(label(), why);
            const QString description = error_;
            emit openFailed(description);
        });
    }
    QString why;
    if (!line_->open(settings_, &why)) {
        error_ = QStringLiteral("Cannot open %1: %2").arg(label(), why);
        return false;
    }
    return true;
}

bool PortLine::finishOpening()
{
    if (isConnecting()) {
        QEventLoop wait;
        connect(this, &PortLine::opened, &wait, &QEventLoop::quit);
        connect(this, &PortLine::openFailed, &wait, &QEventLoop::quit);
        wait.exec();
    }
    return isOpen();
}

void PortLine::close()
{
    if (line_)
        line_->close();
}

bool PortLine::write(const QByteArray &bytes, QString *why)
{
    if (!line_) {
        *why = error_ = QStringLiteral("port closed");
        return false;
    }
    if (!line_->write(bytes, why)) {
        error_ = *why;
        return false;
    }
    return true;
}

void PortLine::discardInput()
{
    if (line_)
        line_->discardInput();
}

}  // namespace qm25
