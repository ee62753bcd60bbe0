#include "serial/mscomm.h"

#include <QMetaObject>
#include <QSerialPort>

namespace qm25 {

MSComm::MSComm(QObject *parent) : QObject(parent)
{
    setObjectName(QStringLiteral("MSComm1"));
    settings_ = *parseCommSettings(settingsText_);
}

MSComm::~MSComm() = default;

QString MSComm::deviceName() const { return portDeviceName(port_); }

bool MSComm::setCommPort(int port)
{
    if (open_) {
        error_ = QStringLiteral("The port number cannot change while the port is open");
        return false;
    }
    if (port < 1 || port > 16) {
        error_ = QStringLiteral("There is no port COM%1").arg(port);
        return false;
    }
    port_ = port;
    return true;
}

bool MSComm::setSettings(const QString &text)
{
    QString why;
    const auto parsed = parseCommSettings(text, &why);
    if (!parsed) {
        error_ = why;
        return false;
    }
    if (open_ && !applySettings(*parsed, &why)) {
        error_ = QStringLiteral("COM%1 (%2): %3").arg(port_).arg(deviceName(), why);
        return false;
    }
    settingsText_ = text;
    settings_ = *parsed;
    return true;
}

bool MSComm::setPortOpen(bool open)
{
    if (open == open_)
        return true;
    if (!open) {
        closeDevice();
        open_ = false;
        return true;
    }
    QString why;
    const QString device = deviceName();
    if (!openDevice(device, settings_, &why)) {
        error_ = QStringLiteral("Cannot open COM%1 (%2): %3").arg(port_).arg(device, why);
        return false;
    }
    open_ = true;
    commEvent_ = 0;
    return true;
}

bool MSComm::Output(const QString &text)
{
    if (!open_) {
        error_ = QStringLiteral("port closed");
        return false;
    }
    // toLatin1 gives one byte per character and "?" for those above 255.
    QString why;
    if (!writeBytes(text.toLatin1(), &why)) {
        error_ = why;
        return false;
    }
    if (!open_) {  // the write found the device gone
        return false;
    }
    return true;
}

QString MSComm::Input()
{
    if (!open_)
        return {};
    const QByteArray bytes = readBytes();
    return QString::fromLatin1(bytes.constData(), bytes.size());
}

void MSComm::received()
{
    if (!open_)
        return;
    commEvent_ = comEvReceive;
    emit OnComm();
}

void MSComm::lost(const QString &why)
{
    if (!open_)
        return;
    closeDevice();
    open_ = false;
    error_ = QStringLiteral("COM%1 (%2) was lost: %3").arg(port_).arg(deviceName(), why);
    const QString description = error_;
    QMetaObject::invokeMethod(
        this, [this, description] { emit LinkLost(description); }, Qt::QueuedConnection);
}

// --- the real device ---------------------------------------------------------

SerialPortComm::SerialPortComm(QObject *parent) : MSComm(parent), port_(new QSerialPort(this))
{
    connect(port_, &QSerialPort::readyRead, this, [this] { received(); });
    connect(port_, &QSerialPort::errorOccurred, this,
            [this](QSerialPort::SerialPortError e) { onError(static_cast<int>(e)); });
}

SerialPortComm::~SerialPortComm()
{
    if (port_->isOpen())
        port_->close();
}

namespace {

bool applyTo(QSerialPort *port, const LineSettings &s, QString *error)
{
    QSerialPort::Parity parity = QSerialPort::NoParity;
    switch (s.parity) {
    case 'E': parity = QSerialPort::EvenParity; break;
    case 'O': parity = QSerialPort::OddParity; break;
    case 'M': parity = QSerialPort::MarkParity; break;
    case 'S': parity = QSerialPort::SpaceParity; break;
    default: break;
    }
    const auto stop = s.stopBits10 == 20   ? QSerialPort::TwoStop
                      : s.stopBits10 == 15 ? QSerialPort::OneAndHalfStop
                                           : QSerialPort::OneStop;
    const bool ok = port->setBaudRate(s.baud) && port->setParity(parity)
                    && port->setDataBits(static_cast<QSerialPort::DataBits>(s.dataBits))
                    && port->setStopBits(stop) && port->setFlowControl(QSerialPort::NoFlowControl);
    if (!ok && error)
        *error = port->errorString();
    return ok;
}

}  // namespace

bool SerialPortComm::openDevice(const QString &device, const LineSettings &settings, QString *error)
{
    opening_ = true;
    port_->setPortName(device);
    bool ok = applyTo(port_, settings, error) && port_->open(QIODevice::ReadWrite);
    if (!ok && error && error->isEmpty())
        *error = port_->errorString();
    if (ok && !applyTo(port_, settings, error)) {
        port_->close();
        ok = false;
    }
    port_->clearError();
    opening_ = false;
    return ok;
}

void SerialPortComm::closeDevice()
{
    if (port_->isOpen())
        port_->close();
    port_->clearError();
}

bool SerialPortComm::applySettings(const LineSettings &settings, QString *error)
{
    return applyTo(port_, settings, error);
}

bool SerialPortComm::writeBytes(const QByteArray &bytes, QString *error)
{
    if (bytes.isEmpty())
        return true;
    if (port_->write(bytes) != bytes.size()) {
        *error = port_->errorString();
        return false;
    }
    // Hand the bytes to the driver now rather than at the next turn of the
    // event loop.
    port_->flush();
    return true;
}

QByteArray SerialPortComm::readBytes() { return port_->readAll(); }

void SerialPortComm::onError(int code)
{
    const auto e = static_cast<QSerialPort::SerialPortError>(code);
    // Every open reports NoError first; failures of an open are returned by
    // openDevice, not reported as a loss.
    if (e == QSerialPort::NoError || e == QSerialPort::TimeoutError || opening_ || !PortOpen())
        return;
    const QString why = port_->errorString();
    // Close before anything else: a vanished device makes the port report
    // the error again and again for as long as it stays open.
    lost(why);
}

}  // namespace qm25
