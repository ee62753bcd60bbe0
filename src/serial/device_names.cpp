#include "serial/device_names.h"

#include <QtGlobal>

namespace qm25 {

QString portDeviceName(int port)
{
    const QByteArray override = qgetenv(QStringLiteral("QM25_COM%1").arg(port).toLatin1().constData());
    if (!override.isEmpty())
        return QString::fromLocal8Bit(override);
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(port);
#else
    return QStringLiteral("/dev/ttyS%1").arg(port - 1);
#endif
}

}  // namespace qm25
