// Fuzz target: the gateway's PJLink request reader, the mapping of what it
// reads onto the projector's commands and back into answers, and the UDP
// datagrams: the search and the notifications.
//
// Input: a flag byte (bit 0: a password is set; the rest picks the replies
// the projector gives), a byte for the size of the reads (1 to 256), then
// what a client sends, fed in reads of that size.
//
// Checked: what the reader makes of the stream does not depend on how it was
// cut into reads; after a close nothing more is read; every request read is
// class 1 or 2 with a printable parameter of at most 128 bytes; every answer,
// made at once or from the replies, is "%", class, the command, "=",
// printable ASCII and one CR at its end (an empty result only for the texts
// the projector does not have); a close sends nothing or "PJLINK ERRA". A
// search's answer is at most four times its size; the replies read as
// status give notifications of the same form as answers.
#include <QByteArray>
#include <QStringList>
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "fuzz_fail.h"
#include "gateway/pjlink.h"
#include "gateway/pjlink_datagrams.h"

using namespace qm25;
using namespace qm25::pjlink;

namespace {

bool printable(QByteArrayView s)
{
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= 0x20 && c <= 0x7e; });
}

void checkAnswer(const QByteArray &answer, const Request &r)
{
    const QByteArray head = '%' + QByteArray(1, r.pjlinkClass) + r.command + '=';
    const bool mayBeEmpty = r.pjlinkClass == '2' && QByteArrayList{"SNUM", "SVER", "RLMP", "RFIL"}.contains(r.command);
    if (!answer.startsWith(head) || !answer.endsWith('\r') || !printable(answer.chopped(1))
        || (answer.size() <= head.size() + 1 && !mayBeEmpty))
        fail("an answer that is not one line of the form %1CMD=result");
}

// A reply of the projector, picked by `n`: the usual ones, one of every
// outcome, and a slice of the client's own bytes as data.
ExchangeResult reply(unsigned n, const QByteArray &stream)
{
    using O = ExchangeResult::Outcome;
    static const std::pair<O, const char *> kReplies[] = {
        {O::Ack, "\x06\r"}, {O::Nak, "\x15\r"}, {O::Unknown, "ERR\r"}, {O::NoReply, ""}, {O::Lost, ""},
        {O::Data, "80\r"},  {O::Data, "00\r"},  {O::Data, "10\r"},     {O::Data, "28\r"}, {O::Data, "3\r"},
        {O::Data, "4\r"},   {O::Data, "FF\r"},  {O::Data, "02\r"},     {O::Data, "00042\r"}, {O::Data, "QM25 SIM 1.40\r"},
    };
    constexpr unsigned kFixed = sizeof kReplies / sizeof kReplies[0];
    ExchangeResult r;
    if (n % (kFixed + 1) == kFixed) {
        r.outcome = O::Data;
        r.reply = stream.mid(n % std::max<qsizetype>(stream.size(), 1), 40) + '\r';
    } else {
        r.outcome = kReplies[n % (kFixed + 1)].first;
        r.reply = kReplies[n % (kFixed + 1)].second;
    }
    return r;
}

// Everything the reader makes of the stream, fed in reads of `step` bytes;
// each request planned and answered.
QStringList readStream(const QByteArray &stream, qsizetype step, const QByteArray &digest, unsigned pick)
{
    RequestReader reader(digest);
    QStringList out;
    bool closed = false;
    for (qsizetype at = 0; at < stream.size() && !closed; at += step) {
        reader.append(QByteArrayView(stream).sliced(at, std::min(step, stream.size() - at)));
        for (Input in = reader.next(); in.kind != Input::Kind::More; in = reader.next()) {
            if (closed)
                fail("read on after a close");
            switch (in.kind) {
            case Input::Kind::Request: {
                const Request &r = in.request;
                if ((r.pjlinkClass != '1' && r.pjlinkClass != '2') || r.command.size() != 4 || r.parameter.size() > 128
                    || !printable(r.parameter))
                    fail("a request that is no class 1 or 2 request");
                const Plan plan = planFor(r, {"QM25", [pick] { return pick & 1 ? std::optional<bool>(pick & 2) : std::nullopt; }});
                if (plan.steps.empty()) {
                    checkAnswer(plan.answer, r);
                    out << QString::fromLatin1(plan.answer);
                    break;
                }
                std::vector<ExchangeResult> results;
                for (std::size_t i = 0; i < plan.steps.size(); ++i) {
                    results.push_back(reply(pick + unsigned(out.size() + i), stream));
                    if (!succeeds(nullptr, results.back().outcome))
                        break;
                }
                const QByteArray answer = answerFor(r, results);
                checkAnswer(answer, r);
                for (std::size_t i = 0; i < results.size(); ++i)
                    if (const auto value = readStatus(plan.steps[i]->reading, QString::fromLatin1(results[i].reply)))
                        for (const auto &[command, line] : notificationsOf(*value))
                            checkAnswer(line, {'2', command, {}});
                out << QString::fromLatin1(answer);
                break;
            }
            case Input::Kind::Answer:
                checkAnswer(in.bytes, in.request);
                out << QString::fromLatin1(in.bytes);
                break;
            case Input::Kind::Close:
                if (!in.bytes.isEmpty() && in.bytes != bytes(kAuthError))
                    fail("a close that sends something else than PJLINK ERRA");
                out << QStringLiteral("close");
                closed = true;
                break;
            case Input::Kind::More:
                break;
            }
            if (closed)
                break;
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const bool password = data[0] & 1;
    const unsigned pick = data[0] >> 1;
    const qsizetype step = qsizetype(data[1]) + 1;
    const QByteArray stream(reinterpret_cast<const char *>(data + 2), qsizetype(size) - 2);
    const QByteArray digest = password ? digestOf("0123abcd", "room-password") : QByteArray();
    if (readStream(stream, step, digest, pick) != readStream(stream, stream.size() + 1, digest, pick))
        fail("what is read depends on how the stream was cut into reads");
    // Whatever an interface's hardware address reads, a search's answer stays
    // within four times the search.
    if (searchAnswer(macOf(QString::fromLatin1(stream))).size() > 4 * QByteArray("%2SRCH\r").size())
        fail("a search answer more than four times the search");
    return 0;
}
