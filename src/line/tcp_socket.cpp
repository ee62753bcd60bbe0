#include "line/tcp_socket.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLibrary>

namespace qm25 {

const TcpModule *tcpModule(QString *why)
{
    static const TcpModule *module = nullptr;
    static QString failure;
    if (module || !failure.isEmpty()) {
        if (!module)
            *why = failure;
        return module;
    }
    // Installed, the module lies at the same place from the programs'
    // folder; the build's own is the fallback for the programs and tests in
    // the build tree.
    QStringList places;
    if (QCoreApplication::instance())
        places << QCoreApplication::applicationDirPath() + QStringLiteral("/" QM25_TCP_MODULE_INSTALLED);
    places << QStringLiteral(QM25_TCP_MODULE_BUILT);
    QStringList errors;
    for (const QString &place : places) {
        if (!QFileInfo::exists(place))
            continue;
        QLibrary library(place);
        using Entry = const TcpModule *(*)();
        const auto entry = library.load() ? reinterpret_cast<Entry>(library.resolve(kTcpModuleEntry)) : nullptr;
        const TcpModule *found = entry ? entry() : nullptr;
        if (found && found->version == kTcpModuleVersion)
            return module = found;
        errors << (found ? QStringLiteral("%1 is of another version").arg(place) : library.errorString());
        if (library.isLoaded())
            library.unload();
    }
    if (errors.isEmpty())
        errors << QStringLiteral("found in none of %1").arg(places.join(QStringLiteral(", ")));
    failure = QStringLiteral("the network support could not be loaded: %1").arg(errors.join(QStringLiteral("; ")));
    *why = failure;
    return nullptr;
}

}  // namespace qm25
