#include "line/serial_devices.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSerialPortInfo>
#include <QStandardPaths>
#include <QStringList>

#include "line/port_devices.h"

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#endif

namespace qm25 {
namespace {

#ifdef Q_OS_UNIX
// Whether the process a lock file names still runs, as the program that
// wrote it: one killed by a signal leaves its lock file behind, and its
// number may since have gone to another program. (The serial port layer
// judges a lock file the same way, and opens the port through a stale one.)
bool stillRuns(qint64 pid, const QString &app)
{
    if (::kill(pid_t(pid), 0) != 0 && errno == ESRCH)
        return false;
    QString exe = QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget();
    if (exe.endsWith(QLatin1String(" (deleted)")))  // the program was replaced while it ran
        exe.chop(10);
    return exe.isEmpty() || app.isEmpty() || QFileInfo(exe).fileName() == app;
}
#endif

}  // namespace

QList<SerialDevice> serialDevices()
{
    QList<SerialDevice> devices;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
        SerialDevice d;
        d.device = info.systemLocation();
        d.stableName = stableDeviceName(d.device);
        d.description = info.description();
        d.manufacturer = info.manufacturer();
        d.serialNumber = info.serialNumber();
        d.holder = portHolder(d.device);
        devices.append(d);
    }
    return devices;
}

QString portHolder(const QString &device)
{
#ifdef Q_OS_UNIX
    // The serial port layer, and the programs that follow the same custom,
    // lock a port with a file LCK..<name> in the first usable of these.
    QString name = device;
    if (name.startsWith(QLatin1String("/dev/")))
        name.remove(0, 5);
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    const QStringList dirs{
        QStringLiteral("/var/lock"),
        QStringLiteral("/etc/locks"),
        QStringLiteral("/var/spool/locks"),
        QStringLiteral("/var/spool/uucp"),
        QStringLiteral("/tmp"),
        QStringLiteral("/var/tmp"),
        QStringLiteral("/var/lock/lockdev"),
        QStringLiteral("/run/lock"),
        QStandardPaths::writableLocation(QStandardPaths::TempLocation),
    };
    for (const QString &dir : dirs) {
        const QString path = dir + QStringLiteral("/LCK..") + name;
        if (!QFileInfo::exists(path))
            continue;
        qint64 pid = 0;
        QString host, app;
        if (!QLockFile(path).getLockInfo(&pid, &host, &app) || pid <= 0)
            return {};
        if (pid == QCoreApplication::applicationPid())
            return QStringLiteral("this program");
        if (!stillRuns(pid, app))
            return QStringLiteral("a stale lock file of a program that has ended");
        if (app.isEmpty()) {
            QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
            if (comm.open(QIODevice::ReadOnly))
                app = QString::fromLocal8Bit(comm.readAll().trimmed());
        }
        return app.isEmpty() ? QStringLiteral("process %1").arg(pid)
                             : QStringLiteral("%1, process %2").arg(app).arg(pid);
    }
#else
    Q_UNUSED(device);
#endif
    return {};
}

}  // namespace qm25
