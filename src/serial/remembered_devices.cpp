#include "serial/remembered_devices.h"

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

#include "serial/device_names.h"

namespace qm25 {
namespace {

struct Remembered {
    bool loaded = false;
    bool nonsense = false;  // the file is there but holds no usable settings
    QString path;           // a test's file, or empty for the user's
    QHash<int, QString> devices;
};

Remembered &state()
{
    static Remembered r;
    return r;
}

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

void load()
{
    Remembered &r = state();
    if (r.loaded)
        return;
    r.loaded = true;
    r.devices.clear();
    const QString path = settingsFilePath();
    const QString problem = readSettings(path, &r.devices);
    r.nonsense = !problem.isEmpty();
    if (r.nonsense) {
        r.devices.clear();
        qWarning().noquote() << QStringLiteral("%1: ignoring the settings in %2 (%3): no device is remembered")
                                    .arg(QCoreApplication::applicationName(), path, problem);
    }
}

}  // namespace

QString settingsFilePath()
{
    if (!state().path.isEmpty())
        return state().path;
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
           + QStringLiteral("/qm25-control/qm25-control.conf");
}

void setSettingsFilePath(const QString &path)
{
    state().path = path;
    state().loaded = false;
}

QString rememberedDevice(int port)
{
    load();
    return state().devices.value(port);
}

bool rememberDevice(int port, const QString &device, QString *error)
{
    load();
    Remembered &r = state();
    const QString stable = stableDeviceName(device);
    const QString name = stable.isEmpty() ? device : stable;
    const QString path = settingsFilePath();
    // Nonsense is not carried over into the new file.
    if (r.nonsense && QFileInfo(path).isFile())
        QFile::remove(path);
    QDir().mkpath(QFileInfo(path).absolutePath());
    {
        QSettings settings(path, QSettings::IniFormat);
        settings.setValue(keyFor(port), name);
        settings.sync();
        if (settings.status() != QSettings::NoError) {
            *error = QStringLiteral("Cannot remember %1 for COM%2: %3 cannot be written.").arg(name).arg(port).arg(path);
            return false;
        }
    }
    r.nonsense = false;
    r.devices.insert(port, name);
    return true;
}

}  // namespace qm25
