#include "support/fake_comm.h"

namespace qm25::test {

void FakeComm::feed(const QByteArray &bytes)
{
    if (!PortOpen())
        return;
    pending_ += bytes;
    received();
}

void FakeComm::hangUp(const QString &why) { lost(why); }

QByteArray FakeComm::allWritten() const
{
    QByteArray all;
    for (const auto &w : written)
        all += w;
    return all;
}

bool FakeComm::openDevice(const QString &device, const LineSettings &settings, QString *error)
{
    if (missingDevices.contains(device)) {
        *error = QStringLiteral("No such file or directory");
        return false;
    }
    ++opens;
    openDevicePath = device;
    openSettings = settings;
    return true;
}

void FakeComm::closeDevice()
{
    ++closes;
    openDevicePath.clear();
    pending_.clear();
}

bool FakeComm::applySettings(const LineSettings &settings, QString *)
{
    ++settingsApplied;
    openSettings = settings;
    return true;
}

bool FakeComm::writeBytes(const QByteArray &bytes, QString *error)
{
    if (failWrites) {
        *error = QStringLiteral("write failed");
        return false;
    }
    if (!bytes.isEmpty())
        written.append(bytes);
    return true;
}

QByteArray FakeComm::readBytes()
{
    QByteArray out;
    out.swap(pending_);
    return out;
}

}  // namespace qm25::test
