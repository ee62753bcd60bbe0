// qm25-sim: a stand-in for the QM25 projector on a serial line, for working
// on and testing the control panel without the projector.
#include "sim_options.h"

#include <QCoreApplication>

#include <cstdio>

#include "core/stop_signals.h"

using namespace qm25::sim;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);

    ServerOptions options;
    QString error;
    switch (parseServerOptions(app.arguments(), options, &error)) {
    case Parsed::Help:
        std::fputs(kSimUsage, stdout);
        return 0;
    case Parsed::Version:
        std::printf("qm25-sim %s\n", QM25_VERSION);
        return 0;
    case Parsed::Bad:
        std::fprintf(stderr, "qm25-sim: %s\nTry qm25-sim --help.\n", qPrintable(error));
        return 2;
    case Parsed::Run:
        break;
    }

    if (!qm25::stopOnSignals(&app, nullptr)) {
        std::perror("qm25-sim: cannot catch signals");
        return 1;
    }

    SimServer server(options);
    if (!server.start(&error)) {
        std::fprintf(stderr, "qm25-sim: %s\n", qPrintable(error));
        return 1;
    }
    QObject::connect(&server, &SimServer::hungUp, &app, &QCoreApplication::quit);
    QObject::connect(&server, &SimServer::failed, &app, [&app](const QString &why) {
        std::fprintf(stderr, "qm25-sim: %s\n", qPrintable(why));
        app.exit(1);
    });

    std::printf("QM25_COM1=%s\n", qPrintable(server.linePath()));
    std::fflush(stdout);
    return app.exec();
}
