#include "serial/serial_line.h"

#include <QEventLoop>
#include <QFile>
#include <QSerialPort>
#include <QTcpSocket>
#include <QTimer>

#include "serial/device_names.h"
#include "serial/serial_devices.h"

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace qm25 {
namespace {

// What to do once a device server's connection is lost.
const QString kServerAdvice =
    QStringLiteral(". Check the device server and the network, then choose the port again under COM.");
const QString kServerClosed = QStringLiteral("the device server closed the connection");

}  // namespace

SerialLine::SerialLine(QObject *parent)
    : Line(parent), serial_(new QSerialPort(this)), socket_(new QTcpSocket(this)), connectTimer_(new QTimer(this))
{
    setObjectName(QStringLiteral("MSComm1"));
    settings_ = *parseCommSettings(settingsText_);
    connect(serial_, &QSerialPort::readyRead, this, [this] {
        if (!open_)
            return;
        const QByteArray bytes = serial_->readAll();
        if (!bytes.isEmpty())
            emit received(bytes);
    });
    connect(serial_, &QSerialPort::errorOccurred, this,
            [this](QSerialPort::SerialPortError e) { onError(static_cast<int>(e)); });

    connectTimer_->setSingleShot(true);
    connect(connectTimer_, &QTimer::timeout, this, [this] { connectFailed(ConnectFailure::TimedOut, {}); });
    connect(socket_, &QTcpSocket::connected, this, [this] {
        connectTimer_->stop();
        // Each frame leaves at once, not when the last one is acknowledged:
        // a held button repeats every 5 ms.
        socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        connecting_ = false;
        open_ = true;
        if (!opening_)  // made at once: open() says so itself
            emit opened();
    });
    connect(socket_, &QTcpSocket::readyRead, this, [this] {
        if (!open_ || !server_)
            return;
        const QByteArray bytes = socket_->readAll();
        if (!bytes.isEmpty())
            emit received(bytes);
    });
    connect(socket_, &QTcpSocket::errorOccurred, this,
            [this](QAbstractSocket::SocketError e) { onSocketError(static_cast<int>(e)); });
    connect(socket_, &QTcpSocket::disconnected, this, [this] {
        if (open_ && server_)
            deviceLost(kServerClosed + kServerAdvice);
    });
}

SerialLine::~SerialLine()
{
    disconnect(socket_, nullptr, this, nullptr);
    socket_->abort();
    if (serial_->isOpen())
        serial_->close();
}

QString SerialLine::deviceName() const { return device_.isEmpty() ? portDeviceName(port_) : device_; }

QString SerialLine::portLabel() const
{
    return device_.isEmpty() ? QStringLiteral("COM%1 (%2)").arg(port_).arg(deviceName()) : device_;
}

bool SerialLine::setDevice(const QString &device)
{
    if (open_) {
        error_ = QStringLiteral("The device cannot change while the port is open");
        return false;
    }
    device_ = device;
    return true;
}

bool SerialLine::setPortNumber(int port)
{
    if (open_ || connecting_) {
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

bool SerialLine::setSettings(const QString &text)
{
    QString why;
    const auto parsed = parseCommSettings(text, &why);
    if (!parsed) {
        error_ = why;
        return false;
    }
    // A device server sets its line's speed itself.
    if (open_ && !server_ && !applySettings(*parsed, &why)) {
        error_ = QStringLiteral("%1: %2").arg(portLabel(), why);
        return false;
    }
    settingsText_ = text;
    settings_ = *parsed;
    return true;
}

bool SerialLine::open()
{
    if (open_ || connecting_)
        return true;
    QString why;
    const QString device = deviceName();
    if (isTcpDevice(device)) {
        server_ = parseTcpDevice(device, &why);
        if (!server_) {
            error_ = QStringLiteral("Cannot open %1: %2").arg(portLabel(), why);
            return false;
        }
        // A failure found while connecting starts is returned, not signalled.
        opening_ = connecting_ = true;
        connectTimer_->start(kTcpConnectTimeoutMs);
        socket_->connectToHost(server_->host, server_->port);
        opening_ = false;
        return connecting_ || open_;
    }
    if (!openDevice(device, settings_, &why)) {
        error_ = QStringLiteral("Cannot open %1: %2").arg(portLabel(), why);
        return false;
    }
    open_ = true;
    return true;
}

bool SerialLine::finishOpening()
{
    if (connecting_) {
        QEventLoop wait;
        connect(this, &SerialLine::opened, &wait, &QEventLoop::quit);
        connect(this, &SerialLine::openFailed, &wait, &QEventLoop::quit);
        wait.exec();
    }
    return open_;
}

void SerialLine::close()
{
    if (!open_ && !connecting_)
        return;
    closeLink();
}

void SerialLine::closeLink()
{
    // Closed before the device is: closing a connection reports it, and the
    // report must find the line closed already.
    const bool onServer = server_.has_value();
    connecting_ = open_ = false;
    server_.reset();
    if (onServer) {
        connectTimer_->stop();
        socket_->abort();
    } else {
        closeDevice();
    }
}

bool SerialLine::write(const QByteArray &bytes, QString *why)
{
    if (connecting_) {
        *why = error_ = QStringLiteral("still connecting to %1").arg(server_->where());
        return false;
    }
    if (!open_) {
        *why = error_ = QStringLiteral("port closed");
        return false;
    }
    QString failure;
    const bool sent = server_ ? sendToServer(bytes, &failure) : writeBytes(bytes, &failure);
    if (!sent) {
        *why = error_ = failure;
        return false;
    }
    if (!open_) {  // the write found the device gone
        *why = error_;
        return false;
    }
    return true;
}

void SerialLine::deviceLost(const QString &why)
{
    if (!open_)
        return;
    const QString label = portLabel();
    closeLink();
    error_ = QStringLiteral("%1 was lost: %2").arg(label, why);
    // Reported at once: whatever drives the line must stop before the next
    // event, a timer tick among them, could try to send on the closed port.
    const QString description = error_;
    emit lost(description);
}

// --- the serial device -----------------------------------------------------------

namespace {

#ifdef Q_OS_UNIX
QString groupName(gid_t gid)
{
    const group *g = ::getgrgid(gid);
    return g ? QString::fromLocal8Bit(g->gr_name) : QString::number(gid);
}

QString userName(uid_t uid)
{
    const passwd *u = ::getpwuid(uid);
    return u ? QString::fromLocal8Bit(u->pw_name) : QString::number(uid);
}
#endif

// The system's description of a failed open, followed by what the operator
// can do about it.
QString explainOpenFailure(const QString &device, QSerialPort::SerialPortError code, const QString &system)
{
    QString advice;
#ifdef Q_OS_UNIX
    const QByteArray path = QFile::encodeName(device);
    struct stat st {};
    if (::stat(path.constData(), &st) != 0) {
        advice = QStringLiteral("There is no such device: check that the serial adapter is plugged in, "
                                "or choose the device the projector is on (for example /dev/ttyUSB0).");
    } else if (!S_ISCHR(st.st_mode) || code == QSerialPort::UnsupportedOperationError) {
        const QString what = S_ISREG(st.st_mode)    ? QStringLiteral("a regular file")
                             : S_ISDIR(st.st_mode)  ? QStringLiteral("a directory")
                             : S_ISFIFO(st.st_mode) ? QStringLiteral("a named pipe")
                             : S_ISCHR(st.st_mode)  ? QStringLiteral("a device without serial line settings")
                                                    : QStringLiteral("a device of another kind");
        advice = QStringLiteral("%1 is not a serial port but %2: choose the projector's serial port "
                                "instead (for example /dev/ttyUSB0).")
                     .arg(device, what);
    } else if (code == QSerialPort::PermissionError && ::access(path.constData(), R_OK | W_OK) != 0
               && errno == EACCES) {
        const QString group = groupName(st.st_gid);
        if ((st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP)) {
            advice = QStringLiteral("You may not use this device; members of group \"%1\" may. "
                                    "Join that group (sudo usermod -aG %1 $USER), then log out and in again.")
                         .arg(group);
        } else {
            advice = QStringLiteral("You may not use this device; only its owner \"%1\" may (group \"%2\" "
                                    "has no read and write access). Ask the administrator to give it to "
                                    "a group such as dialout, then join that group.")
                         .arg(userName(st.st_uid), group);
        }
    } else if (code == QSerialPort::PermissionError) {
        const QString holder = portHolder(device);
        if (holder.isEmpty())
            advice = QStringLiteral("Another program is using this port: close it first.");
        else if (holder.startsWith(QLatin1String("qm25-control,")))
            advice = QStringLiteral("The control panel is using this port (%1): end it with END first.").arg(holder);
        else
            advice = QStringLiteral("Another program is using this port (%1): close it first.").arg(holder);
    }
#else
    Q_UNUSED(device);
    Q_UNUSED(code);
#endif
    return advice.isEmpty() ? system : system + QStringLiteral(". ") + advice;
}

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

bool SerialLine::openDevice(const QString &device, const LineSettings &settings, QString *error)
{
    opening_ = true;
    serial_->setPortName(device);
    bool ok = applyTo(serial_, settings, error) && serial_->open(QIODevice::ReadWrite);
    if (!ok && error) {
        const QString system = error->isEmpty() ? serial_->errorString() : *error;
        *error = explainOpenFailure(device, serial_->error(), system);
    }
#ifdef Q_OS_UNIX
    // Whatever is not a terminal has no line settings: a regular file or
    // /dev/null would swallow every command and never answer.
    if (ok && !::isatty(static_cast<int>(serial_->handle()))) {
        serial_->close();
        ok = false;
        if (error)
            *error = explainOpenFailure(device, QSerialPort::UnsupportedOperationError,
                                        QString::fromLocal8Bit(std::strerror(ENOTTY)));
    }
#endif
    if (ok && !applyTo(serial_, settings, error)) {
        serial_->close();
        ok = false;
    }
    serial_->clearError();
    opening_ = false;
    return ok;
}

void SerialLine::closeDevice()
{
    if (serial_->isOpen())
        serial_->close();
    serial_->clearError();
}

bool SerialLine::applySettings(const LineSettings &settings, QString *error)
{
    return applyTo(serial_, settings, error);
}

bool SerialLine::writeBytes(const QByteArray &bytes, QString *error)
{
    if (bytes.isEmpty())
        return true;
    if (serial_->write(bytes) != bytes.size()) {
        *error = serial_->errorString();
        return false;
    }
    // Hand the bytes to the driver now rather than at the next turn of the
    // event loop.
    serial_->flush();
    return true;
}

void SerialLine::onError(int code)
{
    const auto e = static_cast<QSerialPort::SerialPortError>(code);
    // Every open reports NoError first; failures of an open are returned by
    // openDevice, not reported as a loss.
    if (e == QSerialPort::NoError || e == QSerialPort::TimeoutError || opening_ || !open_)
        return;
    // The system's description, then what the operator can do about it.
    const QString why = serial_->errorString() + QStringLiteral(". ") + lossAdvice_;
    // Close before anything else: a vanished device makes the port report
    // the error again and again for as long as it stays open.
    deviceLost(why);
}

// --- the device server -------------------------------------------------------------

void SerialLine::connectFailed(ConnectFailure failure, const QString &system)
{
    if (!connecting_)
        return;
    const TcpDevice server = *server_;
    closeLink();
    error_ = QStringLiteral("Cannot open %1: %2").arg(portLabel(), connectFailureText(server, failure, system));
    if (!opening_)
        emit openFailed(error_);
}

bool SerialLine::sendToServer(const QByteArray &bytes, QString *error)
{
    if (socket_->write(bytes) != bytes.size()) {
        *error = socket_->errorString();
        return false;
    }
    // Onto the connection now, not at the next turn of the event loop.
    socket_->flush();
    return true;
}

void SerialLine::onSocketError(int code)
{
    const auto e = static_cast<QAbstractSocket::SocketError>(code);
    const QString system = socket_->errorString();
    if (connecting_) {
        const ConnectFailure failure = e == QAbstractSocket::ConnectionRefusedError ? ConnectFailure::Refused
                                       : e == QAbstractSocket::HostNotFoundError    ? ConnectFailure::NameNotFound
                                       : e == QAbstractSocket::SocketTimeoutError   ? ConnectFailure::TimedOut
                                       : e == QAbstractSocket::NetworkError         ? ConnectFailure::NoRoute
                                                                                    : ConnectFailure::Other;
        connectFailed(failure, system);
    } else if (open_ && server_) {
        deviceLost((e == QAbstractSocket::RemoteHostClosedError ? kServerClosed : system) + kServerAdvice);
    }
}

}  // namespace qm25
