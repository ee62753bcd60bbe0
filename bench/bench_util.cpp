#include "bench_util.h"

#include <QDir>
#include <QFile>
#include <QElapsedTimer>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <numeric>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char **environ;

namespace qm25::bench {

std::int64_t nowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

void sleepUntilNs(std::int64_t deadline)
{
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(deadline / 1'000'000'000);
    ts.tv_nsec = static_cast<long>(deadline % 1'000'000'000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

void sleepForNs(std::int64_t ns) { sleepUntilNs(nowNs() + ns); }

Summary summarise(std::vector<double> samples)
{
    Summary s;
    s.count = samples.size();
    if (samples.empty())
        return s;
    std::sort(samples.begin(), samples.end());
    // Nearest rank: the smallest sample with at least p of them at or below it.
    auto rank = [&](double p) {
        const auto n = samples.size();
        auto k = static_cast<std::size_t>(std::ceil(p * static_cast<double>(n)));
        k = std::clamp<std::size_t>(k, 1, n);
        return samples[k - 1];
    };
    s.mean = std::accumulate(samples.begin(), samples.end(), 0.0) / static_cast<double>(samples.size());
    s.p50 = rank(0.50);
    s.p99 = rank(0.99);
    s.max = samples.back();
    s.min = samples.front();
    return s;
}

QJsonObject toJson(const Summary &s)
{
    return QJsonObject{{"count", static_cast<qint64>(s.count)}, {"mean", s.mean}, {"p50", s.p50},
                       {"p99", s.p99}, {"max", s.max}, {"min", s.min}};
}

namespace {

long statusField(pid_t pid, const char *field)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

double usageMs(const rusage &u)
{
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0
           + static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

}  // namespace

long rssKb(pid_t pid) { return statusField(pid, "VmRSS"); }
long peakRssKb(pid_t pid) { return statusField(pid, "VmHWM"); }

double selfCpuMs()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return usageMs(u);
}

double threadCpuMs()
{
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return usageMs(u);
}

// --- pseudo-terminal -----------------------------------------------------------

PtyMaster::PtyMaster()
{
    fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0)
        return;
    if (grantpt(fd_) != 0 || unlockpt(fd_) != 0) {
        ::close(fd_);
        fd_ = -1;
        return;
    }
    path_ = QString::fromLocal8Bit(ptsname(fd_));
    termios t{};
    if (tcgetattr(fd_, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd_, TCSANOW, &t);
    }
}

PeerEnd::~PeerEnd()
{
    if (fd_ >= 0)
        ::close(fd_);
}

// --- loopback TCP ------------------------------------------------------------------

TcpEnd::TcpEnd()
{
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof at;
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_ < 0 || ::bind(listen_, reinterpret_cast<sockaddr *>(&at), size) != 0 || ::listen(listen_, 1) != 0
        || ::getsockname(listen_, reinterpret_cast<sockaddr *>(&at), &size) != 0) {
        if (listen_ >= 0)
            ::close(listen_);
        listen_ = -1;
        return;
    }
    path_ = QStringLiteral("tcp://127.0.0.1:%1").arg(ntohs(at.sin_port));
}

TcpEnd::~TcpEnd()
{
    if (listen_ >= 0)
        ::close(listen_);
}

bool TcpEnd::takeClient(int timeoutMs)
{
    pollfd p{listen_, POLLIN, 0};
    if (listen_ < 0 || ::poll(&p, 1, timeoutMs) != 1)
        return false;
    fd_ = ::accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    // The projector's replies leave at once too, as from a device server.
    const int on = 1;
    return fd_ >= 0 && ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
}

bool PeerEnd::writeAll(const char *data, std::size_t size, std::int64_t deadline)
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd_, data + done, size - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (deadline && nowNs() >= deadline)
            return false;
        pollfd p{fd_, POLLOUT, 0};
        ::poll(&p, 1, 20);
    }
    return true;
}

// --- child processes ---------------------------------------------------------------

Child spawnChild(const QString &program, const QStringList &args, const QStringList &env)
{
    Child c;
    int toChild[2], fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0)
        return c;
    if (pipe2(fromChild, O_CLOEXEC) != 0) {
        ::close(toChild[0]);
        ::close(toChild[1]);
        return c;
    }

    std::vector<QByteArray> argStore{program.toLocal8Bit()};
    for (const QString &a : args)
        argStore.push_back(a.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &a : argStore)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    std::vector<QByteArray> envStore;
    QStringList names;
    for (const QString &e : env)
        names.append(e.section(QLatin1Char('='), 0, 0) + QLatin1Char('='));
    for (char **e = environ; *e; ++e) {
        const QString entry = QString::fromLocal8Bit(*e);
        const bool replaced = std::any_of(names.begin(), names.end(),
                                          [&](const QString &n) { return entry.startsWith(n); });
        if (!replaced)
            envStore.emplace_back(*e);
    }
    for (const QString &e : env)
        envStore.push_back(e.toLocal8Bit());
    std::vector<char *> envp;
    for (QByteArray &e : envStore)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, toChild[0], 0);
    posix_spawn_file_actions_adddup2(&fa, fromChild[1], 1);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    ::close(toChild[0]);
    ::close(fromChild[1]);
    if (rc != 0) {
        ::close(toChild[1]);
        ::close(fromChild[0]);
        return c;
    }
    c.pid = pid;
    c.in = toChild[1];
    c.out = fromChild[0];
    return c;
}

QByteArray readLine(Child &child, int timeoutMs, bool *ok)
{
    *ok = false;
    const std::int64_t deadline = nowNs() + std::int64_t(timeoutMs) * 1'000'000;
    for (;;) {
        const qsizetype nl = child.pending.indexOf('\n');
        if (nl >= 0) {
            const QByteArray line = child.pending.left(nl);
            child.pending.remove(0, nl + 1);
            *ok = true;
            return line;
        }
        const std::int64_t left = deadline - nowNs();
        if (left <= 0 || child.out < 0)
            return {};
        pollfd p{child.out, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left / 1'000'000) + 1) <= 0)
            continue;
        char buf[4096];
        const ssize_t n = ::read(child.out, buf, sizeof buf);
        if (n <= 0)
            return {};
        child.pending.append(buf, n);
    }
}

bool writeLine(Child &child, const QByteArray &line)
{
    const QByteArray data = line + '\n';
    return ::write(child.in, data.constData(), size_t(data.size())) == data.size();
}

int finishChild(Child &child, int graceMs)
{
    if (child.in >= 0)
        ::close(child.in);
    child.in = -1;
    if (child.pid <= 0)
        return -1;
    int status = 0;
    const std::int64_t deadline = nowNs() + std::int64_t(graceMs) * 1'000'000;
    bool done = false;
    while (nowNs() < deadline) {
        if (waitpid(child.pid, &status, WNOHANG) == child.pid) {
            done = true;
            break;
        }
        sleepForNs(2'000'000);
    }
    if (!done) {
        kill(child.pid, SIGTERM);
        for (int i = 0; i < 100 && !done; ++i) {
            if (waitpid(child.pid, &status, WNOHANG) == child.pid)
                done = true;
            else
                sleepForNs(10'000'000);
        }
        if (!done) {
            kill(child.pid, SIGKILL);
            waitpid(child.pid, &status, 0);
        }
    }
    if (child.out >= 0)
        ::close(child.out);
    child.out = -1;
    child.pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

QString programDir() { return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath().section(QLatin1Char('/'), 0, -2); }

double stolenSeconds()
{
    QFile f(QStringLiteral("/proc/stat"));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    // cpu user nice system idle iowait irq softirq steal ...
    const QList<QByteArray> fields = f.readLine().simplified().split(' ');
    const long ticksPerSecond = sysconf(_SC_CLK_TCK);
    if (fields.size() < 9 || fields[0] != "cpu" || ticksPerSecond <= 0)
        return 0;
    return fields[8].toDouble() / double(ticksPerSecond);
}

namespace {
QtMessageHandler g_previousHandler = nullptr;
}

void quietOffscreenNotes()
{
    g_previousHandler = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &context, const QString &text) {
        if (text.contains(QLatin1String("does not support propagateSizeHints")))
            return;
        if (g_previousHandler)
            g_previousHandler(type, context, text);
    });
}

double loadAverage1()
{
    double l[1] = {0};
    return getloadavg(l, 1) == 1 ? l[0] : -1;
}

double processCpuSeconds(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    // After the name in parentheses: state is field 3, utime 14, stime 15.
    const QByteArray stat = f.readAll();
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    return double(fields.value(11).toLongLong() + fields.value(12).toLongLong()) / double(sysconf(_SC_CLK_TCK));
}

QString writePasswordFile(const QString &folder, const QByteArray &password)
{
    QFile file(QDir(folder).filePath(QStringLiteral("password")));
    if (!file.open(QIODevice::WriteOnly) || file.write(password + '\n') < 0 || !file.flush())
        return {};
    return file.fileName();
}

QString wordAfter(QProcess &process, QString &seen, const QString &prefix, int timeoutMs, bool standardError)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < timeoutMs) {
        const qsizetype at = seen.indexOf(prefix);
        if (at >= 0 && seen.indexOf(QLatin1Char('\n'), at) > 0)
            return seen.mid(at + prefix.size()).section(QLatin1Char('\n'), 0, 0).section(QLatin1Char(' '), 0, 0);
        process.waitForReadyRead(100);
        seen += QString::fromLocal8Bit(standardError ? process.readAllStandardError() : process.readAllStandardOutput());
    }
    return {};
}

}  // namespace qm25::bench
