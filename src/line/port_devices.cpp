#include "line/port_devices.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QtGlobal>

#include "line/remembered_devices.h"

namespace qm25 {
namespace {

QString &stableFolderOverride()
{
    static QString folder;
    return folder;
}

}  // namespace

QString defaultPortDevice(int port)
{
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(port);
#else
    return QStringLiteral("/dev/ttyS%1").arg(port - 1);
#endif
}

void PortDevices::nameForRun(int port, const QString &device)
{
    if (device.isEmpty())
        runNames_.remove(port);
    else
        runNames_.insert(port, device);
}

PortDevice PortDevices::lookUp(int port) const
{
    PortDevice d;
    const QByteArray fromEnvironment = qgetenv(QStringLiteral("QM25_COM%1").arg(port).toLatin1().constData());
    if (const QString option = runNames_.value(port); !option.isEmpty()) {
        d.name = option;
        d.source = DeviceSource::RunOption;
    } else if (!fromEnvironment.isEmpty()) {
        d.name = QString::fromLocal8Bit(fromEnvironment);
        d.source = DeviceSource::Environment;
    } else if (const QString remembered = remembered_ ? remembered_->device(port) : QString(); !remembered.isEmpty()) {
        d.name = remembered;
        d.source = DeviceSource::Remembered;
    } else {
        d.name = defaultPortDevice(port);
        d.source = DeviceSource::Default;
    }
    d.device = resolveDeviceName(d.name);
    return d;
}

QString PortDevices::label(int port) const { return QStringLiteral("COM%1 (%2)").arg(port).arg(deviceFor(port)); }

QString sourceText(DeviceSource source, int port)
{
    switch (source) {
    case DeviceSource::RunOption: return QStringLiteral("named for this run");
    case DeviceSource::Environment: return QStringLiteral("from QM25_COM%1").arg(port);
    case DeviceSource::Remembered: return QStringLiteral("remembered");
    case DeviceSource::Default: break;
    }
    return QStringLiteral("the default");
}

QString stableNamesFolder()
{
    return stableFolderOverride().isEmpty() ? QStringLiteral("/dev/serial/by-id") : stableFolderOverride();
}

void setStableNamesFolder(const QString &folder) { stableFolderOverride() = folder; }

QString stableDeviceName(const QString &device)
{
    const QString target = QFileInfo(device).canonicalFilePath();
    if (target.isEmpty())
        return {};
    const QDir folder(stableNamesFolder());
    const QFileInfoList links = folder.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &link : links)
        if (link.isSymLink() && link.canonicalFilePath() == target)
            return link.absoluteFilePath();
    return {};
}

QString resolveDeviceName(const QString &name)
{
    const QFileInfo info(name);
    if (!info.isAbsolute() || info.absolutePath() != QDir(stableNamesFolder()).absolutePath())
        return name;
    const QString target = info.canonicalFilePath();
    return target.isEmpty() ? name : target;
}

}  // namespace qm25
