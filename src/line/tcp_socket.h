#pragma once
// The device server's TCP connection: the one part of the line that needs
// Qt's network library. That library, with the Kerberos and proxy libraries
// it brings along, takes milliseconds to load at every start, and most
// setups have no device server: the socket lives in a module of its own
// (libqm25tcp, src/tcp), loaded the first time a device server is used.
// What passes between the two is plain C++ and Qt Core.
#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <functional>
#include <memory>

namespace qm25 {

class TcpSocket {
public:
    enum class Error { Refused, NameNotFound, TimedOut, NoRoute, RemoteClosed, Other };
    // Called from the event loop, as the socket's signals come.
    struct Handlers {
        std::function<void()> connected, readyRead, disconnected;
        std::function<void(Error error, const QString &system)> error;
    };

    virtual ~TcpSocket() = default;
    virtual void connectToHost(const QString &host, quint16 port) = 0;
    // Each write leaves at once, without waiting for the last one to be
    // acknowledged (no Nagle's algorithm).
    virtual void setLowDelay() = 0;
    virtual void abort() = 0;
    // Writes the bytes and hands them to the system at once; false, with
    // *why, when they did not all go.
    virtual bool write(const QByteArray &bytes, QString *why) = 0;
    virtual QByteArray readAll() = 0;
    virtual qintptr descriptor() const = 0;
};

// What the module gives.
struct TcpModule {
    int version;
    std::unique_ptr<TcpSocket> (*makeSocket)(TcpSocket::Handlers handlers);
    bool (*isIpv6Address)(const QString &text);
};
// Raised whenever TcpModule or TcpSocket changes.
inline constexpr int kTcpModuleVersion = 1;
// The module's one exported function, returning its TcpModule.
inline constexpr const char *kTcpModuleEntry = "qm25TcpModule";

// The module, loaded at the first call: beside the installed programs, or
// else where the build put it. Nothing, with *why, when it cannot be loaded.
const TcpModule *tcpModule(QString *why);

}  // namespace qm25
