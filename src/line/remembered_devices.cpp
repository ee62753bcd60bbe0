#include "line/remembered_devices.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <algorithm>

#include "line/port_devices.h"

namespace qm25 {
namespace {

QString keyFor(int port) { return QStringLiteral("devices/COM%1").arg(port); }

// What is wrong with the settings file, or an empty text; fills `devices`.
QString readSettings(const QString &path, QHash<int, QString> *devices)
{
    const QFileInfo info(path);
    if (!info.exists())
        return {};
    if (info.isDir())
        return QStringLiteral("it is a folder");
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return file.errorString();
    file.close();
    QSettings settings(path, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError)
        return QStringLiteral("it is not a settings file");
    // Groups other than [devices] are left for other versions; in it and at
    // the top only device names may stand.
    static const QRegularExpression portKey(QStringLiteral("^devices/COM([1-9]|1[0-6])$"));
    for (const QString &key : settings.allKeys()) {
        if (key.contains(u'/') && !key.startsWith(QLatin1String("devices/")))
            continue;
        const QRegularExpressionMatch m = portKey.match(key);
        const QVariant value = settings.value(key);
        const QString text = value.toString();
        const bool plain = value.typeId() == QMetaType::QString && !text.isEmpty() && text.size() <= 4096
                           && std::none_of(text.begin(), text.end(), [](QChar c) { return c.category() == QChar::Other_Control; });
        if (!m.hasMatch() || !plain)
            return QStringLiteral("\"%1\" is not a port's device").arg(key.left(40));
        devices->insert(m.captured(1).toInt(), text);
    }
    return {};
}

}  // namespace

void RememberedDevices::load() const
{
    if (loaded_)
        return;
    loaded_ = true;
    devices_.clear();
    const QString problem = readSettings(path_, &devices_);
    nonsense_ = !problem.isEmpty();
    if (nonsense_) {
        devices_.clear();
        qWarning().noquote() << QStringLiteral("%1: ignoring the settings in %2 (%3): no device is remembered")
                                    .arg(QCoreApplication::applicationName(), path_, problem);
    }
}

QString RememberedDevices::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
           + QStringLiteral("/qm25-control/qm25-control.conf");
}

QString RememberedDevices::device(int port) const
{
    load();
    return devices_.value(port);
}

bool RememberedDevices::remember(int port, const QString &device, QString *error)
{
    load();
    const QString stable = stableDeviceName(device);
    const QString name = stable.isEmpty() ? device : stable;
    // Nonsense is not carried over into the new file.
    if (nonsense_ && QFileInfo(path_).isFile())
        QFile::remove(path_);
    QDir().mkpath(QFileInfo(path_).absolutePath());
    {
        QSettings settings(path_, QSettings::IniFormat);
        settings.setValue(keyFor(port), name);
        settings.sync();
        if (settings.status() != QSettings::NoError) {
            *error = QStringLiteral("Cannot remember %1 for COM%2: %3 cannot be written.").arg(name).arg(port).arg(path_);
            return false;
        }
    }
    nonsense_ = false;
    devices_.insert(port, name);
    return true;
}

}  // namespace qm25
