#include "line/serial_port_line.h"

#include <QFile>
#include <QSerialPort>

#include "line/serial_devices.h"

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

#ifdef Q_OS_UNIX
// The gateway qm25d holds the port: the projector is reached through its raw
// exchange port, which its command line names (--raw [HOST:]PORT).
QString shareWithGateway(const QString &holder)
{
    QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(holder.section(QLatin1String("process "), 1)));
    QString raw;
    const QList<QByteArray> args = cmdline.open(QIODevice::ReadOnly) ? cmdline.readAll().split('\0') : QList<QByteArray>();
    for (qsizetype i = 1; i < args.size(); ++i) {  // the last one counts, as for qm25d
        if (args[i] == "--raw" && i + 1 < args.size())
            raw = QString::fromLocal8Bit(args[++i]);
        else if (args[i].startsWith("--raw="))
            raw = QString::fromLocal8Bit(args[i].mid(6));
    }
    const QString intro = QStringLiteral("The room-control gateway is using this port (%1). ").arg(holder);
    if (raw.isEmpty())
        return intro + QStringLiteral("To share the projector with it, start it with --raw 4001 as well, then "
                                      "choose the device tcp://127.0.0.1:4001 (its raw exchange port).");
    const qsizetype colon = raw.lastIndexOf(QLatin1Char(':'));
    QString host = colon < 0 ? QString() : raw.left(colon);
    const QString port = raw.mid(colon + 1);
    if (host.isEmpty() || host == QLatin1String("0.0.0.0") || host == QLatin1String("localhost"))
        host = QStringLiteral("127.0.0.1");
    else if (host == QLatin1String("[::]") || host == QLatin1String("::"))
        host = QStringLiteral("[::1]");
    else if (host.contains(QLatin1Char(':')) && !host.startsWith(QLatin1Char('[')))
        host = QLatin1Char('[') + host + QLatin1Char(']');
    if (port.toUInt() == 0)  // a free port it chose: its log names it
        return intro + QStringLiteral("Choose its raw exchange port instead: the device tcp://%1:PORT, PORT as its "
                                      "log says (\"raw exchanges on ...\").").arg(host);
    return intro + QStringLiteral("Choose its raw exchange port instead: the device tcp://%1:%2.").arg(host, port);
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
        else if (holder.startsWith(QLatin1String("qm25d,")))
            advice = shareWithGateway(holder);
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

SerialPortLine::SerialPortLine(const QString &device, QObject *parent)
    : DeviceLine(parent), device_(device), serial_(new QSerialPort(this))
{
    serial_->setPortName(device);
    connect(serial_, &QSerialPort::readyRead, this, [this] {
        if (!open_)
            return;
        const QByteArray bytes = serial_->readAll();
        if (!bytes.isEmpty())
            emit received(bytes);
    });
    connect(serial_, &QSerialPort::errorOccurred, this,
            [this](QSerialPort::SerialPortError e) { onError(static_cast<int>(e)); });
}

SerialPortLine::~SerialPortLine()
{
    if (serial_->isOpen())
        serial_->close();
}

bool SerialPortLine::open(const LineSettings &settings, QString *why)
{
    if (open_)
        return true;
    const QString &device = device_;
    opening_ = true;
    QString error;
    bool ok = applyTo(serial_, settings, &error) && serial_->open(QIODevice::ReadWrite);
    if (!ok) {
        const QString system = error.isEmpty() ? serial_->errorString() : error;
        error = explainOpenFailure(device, serial_->error(), system);
    }
#ifdef Q_OS_UNIX
    // Whatever is not a terminal has no line settings: a regular file or
    // /dev/null would swallow every command and never answer.
    if (ok && !::isatty(static_cast<int>(serial_->handle()))) {
        serial_->close();
        ok = false;
        error = explainOpenFailure(device, QSerialPort::UnsupportedOperationError,
                                   QString::fromLocal8Bit(std::strerror(ENOTTY)));
    }
#endif
    if (ok && !applyTo(serial_, settings, &error)) {
        serial_->close();
        ok = false;
    }
    serial_->clearError();
    opening_ = false;
    open_ = ok;
    if (!ok)
        *why = error;
    return ok;
}

void SerialPortLine::close()
{
    // Closed before the device is: whatever closing reports must find the
    // line closed already.
    open_ = false;
    if (serial_->isOpen())
        serial_->close();
    serial_->clearError();
}

bool SerialPortLine::applySettings(const LineSettings &settings, QString *why)
{
    return applyTo(serial_, settings, why);
}

bool SerialPortLine::write(const QByteArray &bytes, QString *why)
{
    if (!open_) {
        *why = QStringLiteral("port closed");
        return false;
    }
    if (bytes.isEmpty())
        return true;
    if (serial_->write(bytes) != bytes.size()) {
        *why = serial_->errorString();
        return false;
    }
    // Hand the bytes to the driver now rather than at the next turn of the
    // event loop.
    serial_->flush();
    if (!open_) {  // the write found the device gone
        *why = QStringLiteral("port closed");
        return false;
    }
    return true;
}

void SerialPortLine::discardInput()
{
    if (!open_)
        return;
    serial_->clear(QSerialPort::Input);
    serial_->readAll();
}

bool SerialPortLine::isLoss(int error, bool opening, bool open)
{
    // Every open reports NoError first.
    const auto e = static_cast<QSerialPort::SerialPortError>(error);
    return !(e == QSerialPort::NoError || e == QSerialPort::TimeoutError || opening || !open);
}

void SerialPortLine::onError(int code)
{
    if (!isLoss(code, opening_, open_))
        return;
    const QString why = serial_->errorString();
    // Closed before anything else: a vanished device makes the port report
    // the error again and again for as long as it stays open. Reported at
    // once: whatever drives the line must stop before the next event, a
    // timer tick among them, could try to send on the closed port.
    close();
    emit lost(why);
}

}  // namespace qm25
