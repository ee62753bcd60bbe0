// qm25d: holds the projector's line and serves it to PJLink clients and to
// this project's own programs. Logs go to standard error (the journal).
#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "gateway/gateway.h"
#include "gateway/options.h"

using namespace qm25::gateway;

namespace {

// SIGINT and SIGTERM end the event loop through this pipe.
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
    for (const int sig : {SIGINT, SIGTERM})
        if (::sigaction(sig, &action, nullptr) != 0)
            return false;
    // A client that has gone makes a write fail, not end the program.
    return ::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
}

void logLine(const QString &line)
{
    std::fprintf(stderr, "qm25d: %s\n", qPrintable(line));
    std::fflush(stderr);
}

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QString error;
    const auto options = parseOptions(app.arguments(), &error);
    if (!options) {
        std::fprintf(stderr, "qm25d: %s\nTry qm25d --help.\n", qPrintable(error));
        return 2;
    }
    if (options->help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (options->version) {
        std::printf("qm25d %s\n", QM25_VERSION);
        return 0;
    }
    QByteArray password;
    if (!options->passwordFile.isEmpty()) {
        QString warning;
        const auto read = readPasswordFile(options->passwordFile, &error, &warning);
        if (!read) {
            logLine(error);
            return 2;
        }
        if (!warning.isEmpty())
            logLine(warning);
        password = *read;
    }
    if (!catchSignals()) {
        logLine(QStringLiteral("cannot catch signals"));
        return 1;
    }
    QSocketNotifier signalNotifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [] {
        logLine(QStringLiteral("stopping"));
        QCoreApplication::quit();
    });

    Gateway gateway(*options, password, logLine);
    logLine(QStringLiteral("qm25d %1 starting").arg(QLatin1String(QM25_VERSION)));
    if (!gateway.start(&error)) {
        logLine(error);
        return 1;
    }
    return app.exec();
}
