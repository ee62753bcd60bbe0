// qm25-sim: a stand-in for the QM25 projector on a serial line, for working
// on and testing the control panel without the projector.
#include "sim_options.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

using namespace qm25::sim;

namespace {

// SIGINT, SIGTERM and SIGHUP end the event loop through this pipe.
int g_signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const auto n = ::write(g_signalPipe[1], &byte, 1);
    errno = saved;
}

bool catchSignals()
{
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int sig : {SIGINT, SIGTERM, SIGHUP})
        if (::sigaction(sig, &action, nullptr) != 0)
            return false;
    // A TCP client that has gone makes a write fail, not end the program.
    return ::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
}

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);

    ServerOptions options;
    QString error;
    switch (parseServerOptions(app.arguments(), options, &error)) {
    case Parsed::Help:
        std::fputs(kSimUsage, stdout);
        return 0;
    case Parsed::Bad:
        std::fprintf(stderr, "qm25-sim: %s\nTry qm25-sim --help.\n", qPrintable(error));
        return 2;
    case Parsed::Run:
        break;
    }

    if (!catchSignals()) {
        std::perror("qm25-sim: cannot catch signals");
        return 1;
    }
    QSocketNotifier signalNotifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [&app] {
        char drain[16];
        while (::read(g_signalPipe[0], drain, sizeof drain) > 0) {
        }
        app.quit();
    });

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
