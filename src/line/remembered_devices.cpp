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

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#endif

#include "line/port_devices.h"

namespace qm25 {
namespace {

QString keyFor(int port) { return QStringLiteral("devices/COM%1").arg(port); }

// A settings file is read only when it is a plain file of at most this size.
constexpr qint64 kMaxSettingsBytes = 64 * 1024;

// What is wrong with the settings file, or nothing; fills `devices`. Only a
// plain file is opened at all: a named pipe would block the start, a device
// such as /dev/zero would be read without end.
RememberedDevices::Problem readSettings(const QString &path, QHash<int, QString> *devices, QString *why)
{
    using Problem = RememberedDevices::Problem;
#ifdef Q_OS_UNIX
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) {
        if (errno == ENOENT)
            return Problem::None;
        *why = QString::fromLocal8Bit(std::strerror(errno));
        return Problem::Unreadable;
    }
    const bool folder = S_ISDIR(st.st_mode), plain = S_ISREG(st.st_mode);
    const qint64 size = st.st_size;
#else
    const QFileInfo info(path);
    if (!info.exists())
        return Problem::None;
    const bool folder = info.isDir(), plain = info.isFile();
    const qint64 size = info.size();
#endif
    if (folder || !plain) {
        *why = folder ? QStringLiteral("it is a folder") : QStringLiteral("it is not a plain file");
        return Problem::Unreadable;
    }
    if (size > kMaxSettingsBytes) {
        *why = QStringLiteral("it is larger than %1 KiB").arg(kMaxSettingsBytes / 1024);
        return Problem::Unreadable;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *why = file.errorString();
        return Problem::Unreadable;
    }
    file.close();
    QSettings settings(path, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError) {
        *why = QStringLiteral("it is not a settings file");
        return Problem::Damaged;
    }
    // Groups other than [devices] are left for other versions; in it and at
    // the top only device names may stand.
    static const QRegularExpression portKey(QStringLiteral("^devices/COM([1-9]|1[0-6])$"));
    for (const QString &key : settings.allKeys()) {
        if (key.contains(u'/') && !key.startsWith(QLatin1String("devices/")))
            continue;
        const QRegularExpressionMatch m = portKey.match(key);
        const QVariant value = settings.value(key);
        const QString text = value.toString();
        const bool usable = value.typeId() == QMetaType::QString && !text.isEmpty() && text.size() <= 4096
                            && std::none_of(text.begin(), text.end(), [](QChar c) { return c.category() == QChar::Other_Control; });
        if (!m.hasMatch() || !usable) {
            *why = QStringLiteral("\"%1\" is not a port's device").arg(key.left(40));
            return Problem::Damaged;
        }
        devices->insert(m.captured(1).toInt(), text);
    }
    return Problem::None;
}

}  // namespace

void RememberedDevices::load() const
{
    if (loaded_)
        return;
    loaded_ = true;
    devices_.clear();
    problem_ = readSettings(path_, &devices_, &why_);
    if (problem_ == Problem::None)
        return;
    devices_.clear();
    qWarning().noquote() << QStringLiteral("%1: ignoring the settings in %2 (%3): no device is remembered%4")
                                .arg(QCoreApplication::applicationName(), path_, why_,
                                     problem_ == Problem::Damaged ? QStringLiteral("; remembering one keeps the file as %1")
                                                                        .arg(backupPath())
                                                                  : QStringLiteral("; the file is left alone"));
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

QString RememberedDevices::backupPath() const { return path_ + QStringLiteral(".bak"); }

bool RememberedDevices::remember(int port, const QString &device, QString *error)
{
    load();
    const QString stable = stableDeviceName(device);
    const QString name = stable.isEmpty() ? device : stable;
    const auto cannot = [&](const QString &why) {
        *error = QStringLiteral("Cannot remember %1 for COM%2: %3").arg(name).arg(port).arg(why);
        return false;
    };
    // What could not be read is not written over; a damaged file is kept
    // beside the new one.
    if (problem_ == Problem::Unreadable)
        return cannot(QStringLiteral("%1 cannot be read (%2) and is left alone.").arg(path_, why_));
    if (problem_ == Problem::Damaged) {
        QFile::remove(backupPath());
        if (!QFile::rename(path_, backupPath()))
            return cannot(QStringLiteral("%1 holds no settings and cannot be moved aside to %2.").arg(path_, backupPath()));
        problem_ = Problem::None;
    }
    QDir().mkpath(QFileInfo(path_).absolutePath());
    {
        QSettings settings(path_, QSettings::IniFormat);
        settings.setValue(keyFor(port), name);
        settings.sync();
        if (settings.status() != QSettings::NoError)
            return cannot(QStringLiteral("%1 cannot be written.").arg(path_));
    }
    devices_.insert(port, name);
    return true;
}

}  // namespace qm25
