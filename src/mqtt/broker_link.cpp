#include "mqtt/broker_link.h"

#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <cerrno>
#include <cstring>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>

namespace qm25::mqtt {
namespace {

QString seconds(int ms) { return QString::number(ms / 1000); }

// The library's text for a code, without its full stop.
QString textOf(int rc)
{
    QString text = QString::fromUtf8(mosquitto_strerror(rc));
    if (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    return text;
}

}  // namespace

BrokerLink::BrokerLink(Settings settings, QObject *parent) : QObject(parent), settings_(std::move(settings))
{
    static std::once_flag libraryReady;
    std::call_once(libraryReady, [] { mosquitto_lib_init(); });
    housekeeping_.setInterval(1000);
    connect(&housekeeping_, &QTimer::timeout, this, [this] {
        if (fd_ >= 0) {
            mosquitto_loop_misc(mosq_);  // keep-alive pings, and a broker that stopped answering them
            syncSocket();
        }
    });
    retry_.setSingleShot(true);
    connect(&retry_, &QTimer::timeout, this, &BrokerLink::connectNow);
    // A broker that takes the connection and never answers it.
    answer_.setSingleShot(true);
    answer_.setInterval(kAnswerMs);
    connect(&answer_, &QTimer::timeout, this, [this] {
        if (connected_)
            return;
        unwatch();  // the next attempt replaces the socket
        failed(QStringLiteral("no answer within %1 s").arg(seconds(kAnswerMs)), false);
    });
}

BrokerLink::~BrokerLink()
{
    if (mosq_) {
        reader_.reset();
        writer_.reset();
        mosquitto_destroy(mosq_);
    }
}

bool BrokerLink::start(QString *error)
{
    const QByteArray id = settings_.clientId.toUtf8();
    mosq_ = mosquitto_new(id.constData(), true, this);
    if (!mosq_) {
        *error = QStringLiteral("MQTT: cannot make a client: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_connect_v5_callback_set(mosq_, &BrokerLink::onConnect);
    mosquitto_disconnect_v5_callback_set(mosq_, &BrokerLink::onDisconnect);
    mosquitto_message_v5_callback_set(mosq_, &BrokerLink::onMessage);
    mosquitto_publish_v5_callback_set(mosq_, &BrokerLink::onPublish);
    mosquitto_log_callback_set(mosq_, &BrokerLink::onLog);
    if (!settings_.user.isEmpty()) {
        const QByteArray user = settings_.user.toUtf8();
        mosquitto_username_pw_set(mosq_, user.constData(),
                                  settings_.password.isNull() ? nullptr : settings_.password.constData());
    }
    if (settings_.broker.tls) {
        int rc = MOSQ_ERR_SUCCESS;
        if (!settings_.caFile.isEmpty()) {
            if (!QFileInfo(settings_.caFile).isReadable()) {
                *error = QStringLiteral("MQTT: cannot read the CA file %1").arg(settings_.caFile);
                return false;
            }
            rc = mosquitto_tls_set(mosq_, QFile::encodeName(settings_.caFile).constData(), nullptr, nullptr, nullptr,
                                   nullptr);
        } else {
            rc = mosquitto_tls_set(mosq_, nullptr, "/etc/ssl/certs", nullptr, nullptr, nullptr);
            mosquitto_int_option(mosq_, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        }
        if (rc != MOSQ_ERR_SUCCESS) {
            *error = QStringLiteral("MQTT: TLS cannot be set up: %1").arg(textOf(rc));
            return false;
        }
    }
    if (!settings_.willTopic.isEmpty()) {
        const QByteArray topic = settings_.willTopic.toUtf8();
        mosquitto_will_set_v5(mosq_, topic.constData(), int(settings_.willPayload.size()),
                              settings_.willPayload.constData(), 1, true, nullptr);
    }
    housekeeping_.start();
    connectNow();
    return true;
}

void BrokerLink::connectNow()
{
    if (stopping_)
        return;
    refusal_.clear();
    libError_.clear();
    const QByteArray host = settings_.broker.host.toUtf8();
    // The TCP connection is opened without waiting for it (a host name is
    // looked up first); CONNACK, or the failure, comes through the socket.
    const int rc = mosquitto_connect_bind_async(mosq_, host.constData(), settings_.broker.port, kKeepAliveSeconds, nullptr);
    const int error = errno;
    syncSocket();
    if (rc != MOSQ_ERR_SUCCESS)
        failed(causeOf(rc, error), false);
    else
        answer_.start();
}

void BrokerLink::syncSocket()
{
    const int fd = mosquitto_socket(mosq_);
    if (fd != fd_) {
        // The library has closed the socket these watched, or opened another.
        unwatch();
        fd_ = fd;
        if (fd_ >= 0) {
            reader_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
            writer_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Write);
            connect(reader_.get(), &QSocketNotifier::activated, this, &BrokerLink::readable);
            connect(writer_.get(), &QSocketNotifier::activated, this, &BrokerLink::writable);
        }
    }
    if (writer_)
        writer_->setEnabled(mosquitto_want_write(mosq_));
}

void BrokerLink::unwatch()
{
    // Not deleted at once: this may run within one of their signals.
    for (QSocketNotifier *n : {reader_.release(), writer_.release()})
        if (n) {
            n->setEnabled(false);
            n->deleteLater();
        }
    fd_ = -1;
}

void BrokerLink::readable() { afterLoop(mosquitto_loop_read(mosq_, 1)); }

void BrokerLink::writable() { afterLoop(mosquitto_loop_write(mosq_, 1)); }

void BrokerLink::afterLoop(int rc)
{
    const int error = errno;
    const int fd = mosquitto_socket(mosq_);
    // A failure the library does not report through its disconnect call:
    // an error it returns (having closed the socket itself or not: a TLS
    // handshake that fails, for one), or (while TLS is being set up) a
    // socket the broker has closed or refused, which it would try to write
    // to again and again.
    bool dead = false;
    if (disconnects_ == disconnectsSeen_) {
        pollfd p{fd, POLLIN, 0};
        dead = rc > 0 || (fd >= 0 && !connected_ && ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR)));
    }
    disconnectsSeen_ = disconnects_;
    if (!dead) {
        syncSocket();
        return;
    }
    int pending = 0;
    socklen_t size = sizeof pending;
    if (fd >= 0)
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &size);
    const int cause = pending ? pending : error;
    unwatch();  // the next attempt replaces the socket
    const bool known = cause && cause != EAGAIN && cause != EPIPE;
    failed(rc > 0      ? causeOf(rc, cause)
           : known     ? QString::fromLocal8Bit(std::strerror(cause))
                       : QStringLiteral("the connection was refused or closed before TLS was set up"),
           std::exchange(connected_, false));
}

void BrokerLink::onConnect(mosquitto *, void *self, int rc, int, const mqtt5__property *)
{
    auto *link = static_cast<BrokerLink *>(self);
    if (rc != 0) {
        // The library closes the connection after this; the next attempt waits its turn.
        link->refusal_ = refusalReason(rc);
        const QString why = QStringLiteral("the broker refused the connection: %1").arg(link->refusal_);
        QMetaObject::invokeMethod(link, [link, why] { link->failed(why, false); }, Qt::QueuedConnection);
        return;
    }
    link->connected_ = true;
    link->answer_.stop();
    link->retryMs_ = kFirstRetryMs;
    link->reported_.clear();
    emit link->connected();
}

void BrokerLink::onDisconnect(mosquitto *, void *self, int rc, const mqtt5__property *)
{
    auto *link = static_cast<BrokerLink *>(self);
    const int error = errno;
    ++link->disconnects_;
    const bool was = std::exchange(link->connected_, false);
    link->unacknowledged_.clear();
    if (was)
        emit link->disconnected();
    if (link->stopping_)
        return;
    const QString why = link->causeOf(rc, error);
    // Not from within the library's call: the socket is closed after this returns.
    QMetaObject::invokeMethod(link, [link, why, was] { link->failed(why, was); }, Qt::QueuedConnection);
}

QString BrokerLink::causeOf(int rc, int error) const
{
    if (!refusal_.isEmpty())
        return QStringLiteral("the broker refused the connection: %1").arg(refusal_);
    if (rc == MOSQ_ERR_TLS || rc == MOSQ_ERR_TLS_HANDSHAKE || libError_.contains(QLatin1String("OpenSSL"))) {
        if (libError_.contains(QLatin1String("certificate verify failed")))
            return QStringLiteral("the broker's certificate is not trusted (%1): give its CA with --mqtt-ca").arg(libError_);
        if (libError_.isEmpty() && error != 0 && error != EAGAIN)
            return QString::fromLocal8Bit(std::strerror(error));  // the connection, before TLS could start
        return QStringLiteral("TLS failed: %1").arg(libError_.isEmpty() ? textOf(rc) : libError_);
    }
    if (rc == MOSQ_ERR_ERRNO)
        return QString::fromLocal8Bit(std::strerror(error));
    if (rc == MOSQ_ERR_KEEPALIVE)
        return QStringLiteral("the broker stopped answering");
    return textOf(rc);
}

void BrokerLink::failed(const QString &why, bool lost)
{
    answer_.stop();
    if (stopping_ || connected_ || retry_.isActive())
        return;
    // Once while the broker cannot be had, unless it starts refusing the
    // gateway for another reason (its login, its certificate).
    const bool refusal = why.contains(QLatin1String("refused the connection")) || why.contains(QLatin1String("TLS"))
                         || why.contains(QLatin1String("certificate"));
    if (reported_.isEmpty() || (refusal && why != reported_)) {
        reported_ = why;
        emit trouble(QStringLiteral("%1 %2: %3; trying again in %4 s, then less often, at most every %5 s")
                         .arg(QLatin1String(lost ? "lost the connection to" : "cannot connect to"), settings_.broker.text(),
                              why, seconds(retryMs_), seconds(kMaxRetryMs)));
    }
    retry_.start(retryMs_);
    retryMs_ = std::min(retryMs_ * 2, kMaxRetryMs);
}

void BrokerLink::onMessage(mosquitto *, void *self, const mosquitto_message *m, const mqtt5__property *props)
{
    auto *link = static_cast<BrokerLink *>(self);
    char *responseTopic = nullptr;
    void *correlation = nullptr;
    uint16_t correlationSize = 0;
    mosquitto_property_read_string(props, MQTT_PROP_RESPONSE_TOPIC, &responseTopic, false);
    mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &correlation, &correlationSize, false);
    const QString response = responseTopic ? QString::fromUtf8(responseTopic) : QString();
    const QByteArray data(static_cast<const char *>(correlation), correlationSize);
    std::free(responseTopic);
    std::free(correlation);
    emit link->message(QString::fromUtf8(m->topic),
                       QByteArray(static_cast<const char *>(m->payload), qsizetype(std::max(0, m->payloadlen))), response,
                       data);
}

void BrokerLink::onPublish(mosquitto *, void *self, int mid, int, const mqtt5__property *)
{
    auto *link = static_cast<BrokerLink *>(self);
    if (link->unacknowledged_.erase(mid))
        emit link->acknowledged();
}

void BrokerLink::onLog(mosquitto *, void *self, int level, const char *text)
{
    if (level & (MOSQ_LOG_ERR | MOSQ_LOG_WARNING))
        static_cast<BrokerLink *>(self)->libError_ = QString::fromUtf8(text);
}

bool BrokerLink::publish(const QString &topic, const QByteArray &payload, bool retain, const QByteArray &correlation)
{
    if (!connected_)
        return false;
    mosquitto_property *props = nullptr;
    if (!correlation.isEmpty())
        mosquitto_property_add_binary(&props, MQTT_PROP_CORRELATION_DATA, correlation.constData(),
                                      uint16_t(std::min<qsizetype>(correlation.size(), 65535)));
    int mid = 0;
    const QByteArray t = topic.toUtf8();
    const int rc = mosquitto_publish_v5(mosq_, &mid, t.constData(), int(payload.size()), payload.constData(), 1, retain,
                                        props);
    mosquitto_property_free_all(&props);
    if (rc == MOSQ_ERR_SUCCESS)
        unacknowledged_.insert(mid);
    syncSocket();
    return rc == MOSQ_ERR_SUCCESS;
}

bool BrokerLink::subscribe(const QStringList &filters, bool retained)
{
    if (!connected_)
        return false;
    std::vector<QByteArray> bytes;
    std::vector<char *> pointers;
    for (const QString &f : filters)
        bytes.push_back(f.toUtf8());
    for (QByteArray &b : bytes)
        pointers.push_back(b.data());
    const int rc = mosquitto_subscribe_multiple(mosq_, nullptr, int(pointers.size()), pointers.data(), 1,
                                                 retained ? 0 : MQTT_SUB_OPT_SEND_RETAIN_NEVER, nullptr);
    syncSocket();
    return rc == MOSQ_ERR_SUCCESS;
}

void BrokerLink::stop(bool withWill)
{
    stopping_ = true;
    retry_.stop();
    answer_.stop();
    housekeeping_.stop();
    if (!mosq_ || fd_ < 0)
        return;
    mosquitto_disconnect_v5(mosq_, withWill ? MQTT_RC_DISCONNECT_WITH_WILL_MSG : MQTT_RC_NORMAL_DISCONNECTION, nullptr);
    // Sends what waits, DISCONNECT last; the library closes the socket after it.
    for (int i = 0; i < 10 && mosquitto_socket(mosq_) >= 0 && mosquitto_want_write(mosq_); ++i) {
        pollfd p{mosquitto_socket(mosq_), POLLOUT, 0};
        if (::poll(&p, 1, 100) > 0)
            mosquitto_loop_write(mosq_, 1);
    }
    syncSocket();
}

}  // namespace qm25::mqtt
