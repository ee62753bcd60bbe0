#include "gateway/sessions.h"

#include <QTcpSocket>
#include <utility>

#include "core/catalogue.h"

namespace qm25::gateway {

int replyTimeoutOf(QByteArrayView frame)
{
    // A code the catalogue does not know gets the time-out of a code typed
    // on the panel's command line.
    const QByteArrayView code = frame.endsWith('\r') ? frame.chopped(1) : frame;
    const CommandRow *row = commandWithCode(QString::fromLatin1(code));
    return row ? row->times.replyTimeoutMs : kCommandLineTimes.replyTimeoutMs;
}

Session::Session(QTcpSocket *socket, ExchangeQueue *queue, const QString &label, QObject *parent)
    : QObject(parent), socket_(socket), queue_(queue), id_(queue->addClient(label)), label_(label)
{
    socket_->setParent(this);
    socket_->setReadBufferSize(kSocketReadBuffer);
    socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connect(socket_, &QTcpSocket::readyRead, this, [this] { readRequests(); });
    connect(socket_, &QTcpSocket::bytesWritten, this, [this] {
        if (!finishing_)
            readRequests();
    });
    connect(socket_, &QTcpSocket::disconnected, this, &Session::end);
    connect(socket_, &QTcpSocket::errorOccurred, this, [this] {
        if (socket_->state() != QAbstractSocket::ConnectedState)
            end();
    });
    // A client that will not take the last answer does not keep its
    // connection open for long.
    abort_.setSingleShot(true);
    abort_.setInterval(5000);
    connect(&abort_, &QTimer::timeout, socket_, &QTcpSocket::abort);
}

Session::~Session()
{
    if (!ended_)
        queue_->removeClient(id_);
}

bool Session::hasRoom() const
{
    return !finishing_ && owed_.size() < std::size_t(ExchangeQueue::kJobsPerClient)
           && socket_->bytesToWrite() < kMaxUnsent && queue_->hasRoom(id_);
}

QByteArray Session::take(qint64 max) { return socket_->read(max); }

void Session::answerNow(const QByteArray &bytes)
{
    owed_.push_back({bytes, {}});
    flush();
}

void Session::answerInTurn(std::function<QByteArray()> make)
{
    owed_.push_back({std::nullopt, std::move(make)});
    flush();
}

void Session::submit(std::vector<Step> steps, std::function<QByteArray(std::vector<ExchangeResult>)> answer)
{
    owed_.push_back({});
    const bool queued = queue_->enqueue(id_, std::move(steps), [this, answer](std::vector<ExchangeResult> results) {
        // Jobs end in the order they were queued: this one owes the first
        // answer not yet made.
        for (auto &slot : owed_)
            if (!slot.bytes && !slot.inTurn) {
                slot.bytes = answer(std::move(results));
                break;
            }
        flush();
        if (!finishing_)
            readRequests();
    });
    Q_ASSERT(queued);
}

void Session::finish(const QString &why, bool loud, const QByteArray &lastWords)
{
    if (finishing_ || ended_)
        return;
    finishing_ = true;
    lastWords_ = lastWords;
    emit log(QStringLiteral("closing %1: %2").arg(label_, why), !loud);
    flush();
}

void Session::flush()
{
    while (!owed_.empty() && (owed_.front().bytes || owed_.front().inTurn)) {
        socket_->write(owed_.front().bytes ? *owed_.front().bytes : owed_.front().inTurn());
        owed_.pop_front();
        answered();
    }
    if (finishing_ && owed_.empty() && !abort_.isActive()) {
        socket_->write(lastWords_);
        abort_.start();
        socket_->disconnectFromHost();
    }
}

void Session::end()
{
    if (ended_)
        return;
    ended_ = true;
    abort_.stop();
    queue_->removeClient(id_);
    emit ended(this);
    deleteLater();
}

PjlinkSession::PjlinkSession(QTcpSocket *socket, ExchangeQueue *queue, const QString &label,
                             const QByteArray &password, PasswordThrottle *throttle,
                             const pjlink::Identity &identity, int idleSeconds, QObject *parent)
    : Session(socket, queue, label, parent),
      identity_(identity),
      throttle_(throttle),
      client_(socket->peerAddress()),
      proven_(password.isEmpty())
{
    const QByteArray random = password.isEmpty() ? QByteArray() : pjlink::makeRandom();
    reader_ = pjlink::RequestReader(random.isEmpty() ? QByteArray() : pjlink::digestOf(random, password));
    idle_.setSingleShot(true);
    idle_.setInterval(idleSeconds * 1000);
    connect(&idle_, &QTimer::timeout, this, [this, idleSeconds] {
        if (!owes())  // waiting for the projector is no idleness
            finish(QStringLiteral("idle for %1 s").arg(idleSeconds), false);
        else
            idle_.start();
    });
    idle_.start();
    answerNow(pjlink::greeting(random));
}

void PjlinkSession::readRequests()
{
    while (hasRoom()) {
        pjlink::Input in = reader_.next();
        if (!proven_ && in.kind != pjlink::Input::Kind::More) {
            // The first request, with its digest: judged only while the
            // address has tries left; a refused one learns nothing.
            if (!throttle_->admits(client_, QStringLiteral("PJLink"))) {
                emit refused(RefusalReason::Throttled);
                finish(QStringLiteral("too many wrong passwords"), false, bytes(pjlink::kAuthError).toByteArray());
                return;
            }
            if (in.kind == pjlink::Input::Kind::Close && in.bytes == bytes(pjlink::kAuthError)) {
                throttle_->failed(client_);
                emit authFailed();
            }
            proven_ = true;
        }
        switch (in.kind) {
        case pjlink::Input::Kind::More: {
            const QByteArray bytes = take(reader_.limit());
            if (bytes.isEmpty())
                return;
            reader_.append(bytes);
            break;
        }
        case pjlink::Input::Kind::Answer:
            idle_.start();
            emit spoke();
            note(in.request, in.bytes);
            answerNow(in.bytes);
            break;
        case pjlink::Input::Kind::Request: {
            idle_.start();
            emit spoke();
            const pjlink::Plan plan = pjlink::planFor(in.request, identity_);
            if (plan.inTurn) {
                answerInTurn([this, request = in.request, identity = identity_] {
                    QByteArray answer = pjlink::planFor(request, identity).answer;
                    note(request, answer);
                    return answer;
                });
                break;
            }
            if (!plan.answer.isEmpty()) {
                note(in.request, plan.answer);
                answerNow(plan.answer);
                break;
            }
            std::vector<Step> steps;
            for (const CommandRow *row : plan.steps)
                steps.push_back({row->frame(), row->times.replyTimeoutMs});
            submit(std::move(steps), [this, request = in.request](std::vector<ExchangeResult> results) {
                QByteArray answer = pjlink::answerFor(request, results);
                note(request, answer);
                return answer;
            });
            break;
        }
        case pjlink::Input::Kind::Close:
            if (in.bytes != bytes(pjlink::kAuthError))
                emit refused(RefusalReason::Malformed);
            finish(in.why, true, in.bytes);
            return;
        }
    }
}

void PjlinkSession::note(const pjlink::Request &request, const QByteArray &answer)
{
    // The digest in front of a first request is no part of the request.
    QByteArray text = QByteArray("%") + request.pjlinkClass + request.command;
    if (!request.parameter.isEmpty())
        text += ' ' + request.parameter;
    emit log(QStringLiteral("%1: %2 -> %3").arg(label(), QLatin1String(text), QLatin1String(answer.chopped(1))), true);
}

RawSession::RawSession(QTcpSocket *socket, ExchangeQueue *queue, const QString &label, QObject *parent)
    : Session(socket, queue, label, parent)
{
}

void RawSession::readRequests()
{
    while (hasRoom()) {
        // An LF right after a CR (a terminal's line end) belongs to no frame.
        if (afterCr_ && !buffer_.isEmpty()) {
            if (buffer_.startsWith('\n'))
                buffer_.remove(0, 1);
            afterCr_ = false;
        }
        const qsizetype cr = buffer_.indexOf('\r');
        if (cr < 0 ? buffer_.size() >= kMaxRawFrame : cr >= kMaxRawFrame) {
            emit refused(RefusalReason::TooLarge);
            finish(QStringLiteral("a frame longer than %1 bytes").arg(kMaxRawFrame), true);
            return;
        }
        if (cr < 0) {
            const QByteArray bytes = take(kMaxRawFrame);
            if (bytes.isEmpty())
                return;
            buffer_ += bytes;
            continue;
        }
        const QByteArray frame = buffer_.left(cr + 1);
        buffer_.remove(0, cr + 1);
        afterCr_ = true;
        if (std::exchange(first_, false) && pjlink::isHttpRequestLine(QByteArrayView(frame).chopped(1))) {
            finish(QStringLiteral("an HTTP request (this is the raw exchange port); nothing of it was sent on"), true,
                   "HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain\r\nConnection: close\r\n\r\n"
                   "qm25d: this is the raw exchange port, for the projector's frames; the web panel is on the "
                   "port given with --http.\n");
            return;
        }
        submit({{frame, replyTimeoutOf(frame)}}, [](std::vector<ExchangeResult> results) {
            // Whatever came, as a device server passes it on; nothing for a lost line.
            return results.empty() ? QByteArray() : results.front().reply;
        });
    }
}

}  // namespace qm25::gateway
