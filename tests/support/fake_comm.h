#pragma once
#include <QByteArray>
#include <QList>
#include <QSet>
#include <QString>

#include "serial/mscomm.h"

namespace qm25::test {

// A serial control without a device: records what goes out, delivers what a
// test feeds in, and fails where it is told to.
class FakeComm : public MSComm {
    Q_OBJECT
public:
    using MSComm::MSComm;

    QList<QByteArray> written;       // one entry per write, in order
    QSet<QString> missingDevices;    // devices that cannot be opened
    bool failWrites = false;
    int opens = 0, closes = 0, settingsApplied = 0;
    QString openDevicePath;
    LineSettings openSettings;

    // Characters arrive from the line; raises OnComm like the real control.
    void feed(const QByteArray &bytes);
    // The device goes away under an open port.
    void hangUp(const QString &why = QStringLiteral("Input/output error"));
    QByteArray allWritten() const;

protected:
    bool openDevice(const QString &device, const LineSettings &settings, QString *error) override;
    void closeDevice() override;
    bool applySettings(const LineSettings &settings, QString *error) override;
    bool writeBytes(const QByteArray &bytes, QString *error) override;
    QByteArray readBytes() override;

private:
    QByteArray pending_;
};

}  // namespace qm25::test
