// Fuzz target: the HTTP front door's guard, as it reads a connection's bytes
// one request at a time (RequestScanner, which HttpGuard runs on each read
// of its socket).
//
// Input: a byte whose low four bits say how many read lengths follow (none:
// the stream comes in one read), those lengths (each byte + 1), then what a
// client sends, fed in reads of those lengths in turn. Each request passed
// whole is taken as answered at once, and the next one read.
//
// Checked: what is passed and what is refused does not depend on how the
// stream was cut into reads; a request is passed whole: its head ends at its
// first blank line, every line of it ends CR LF with nothing but printable
// ASCII and tabs between, it has a request line of a known method, a path
// and HTTP/1.x, it is at most 8 KiB, and its body is as long as its
// Content-Length says; a refusal says one of the guard's statuses.
#include <QByteArray>
#include <QStringList>
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "fuzz_fail.h"
#include "web/http_guard.h"

using namespace qm25::web;

namespace {

// A request the scanner passed: the bytes it took for it.
void checkPassed(QByteArrayView request, const RequestScanner &scan)
{
    const qsizetype end = QByteArrayView(request).indexOf("\r\n\r\n");
    if (end < 0 || end + 4 > kMaxHead)
        fail("a request passed without a whole head within the bound");
    const QByteArrayView head = request.first(end + 2);
    for (qsizetype i = 0; i < head.size(); ++i) {
        const char c = head[i];
        if (c == '\r' ? head[i + 1] != '\n' : c == '\n' ? i == 0 || head[i - 1] != '\r' : (c < 0x20 || c > 0x7e) && c != '\t')
            fail("a head passed with a line that does not end CR LF, or a byte that is not printable");
    }
    const QByteArray line = head.first(head.indexOf("\r\n")).toByteArray();
    const QByteArrayList parts = line.split(' ');
    const QByteArrayList methods{"GET", "HEAD", "POST", "PUT", "DELETE", "OPTIONS", "PATCH"};
    if (parts.size() != 3 || !methods.contains(parts[0]) || !parts[1].startsWith('/') || parts[1].size() > kMaxTarget
        || !(parts[2] == "HTTP/1.1" || parts[2] == "HTTP/1.0") || scan.head().method != parts[0] || scan.head().target != parts[1])
        fail("a request passed without a request line of a known method, a path and HTTP/1.x");
    const qsizetype body = request.size() - end - 4;
    if (body != scan.head().header("content-length").toLongLong() || body > kMaxBody)
        fail("a request passed without the body its Content-Length says");
}

// What the scanner makes of the stream fed in reads of the given lengths
// (none: at once): each request passed, the refusal, or that it waits for more.
QStringList readStream(QByteArrayView stream, const QByteArray &lengths)
{
    RequestScanner scan;
    QStringList out;
    qsizetype at = 0, taken = 0, begin = 0;  // the stream read, taken, where the request begins
    for (qsizetype read = 0; at < stream.size(); ++read) {
        const qsizetype size = lengths.isEmpty() ? stream.size() : qsizetype(uchar(lengths[read % lengths.size()])) + 1;
        QByteArrayView piece = stream.sliced(at, std::min(size, stream.size() - at));
        at += piece.size();
        while (!piece.isEmpty()) {
            const qsizetype used = scan.feed(piece);
            if (used < 0 || used > piece.size())
                fail("took more bytes than there were");
            piece = piece.sliced(used);
            taken += used;
            if (scan.state() == RequestScanner::State::Refused) {
                const int status = scan.refusal().status;
                if (!QList<int>{400, 413, 414, 431, 501, 505}.contains(status) || scan.refusal().why.isEmpty())
                    fail("a refusal that is none of the guard's");
                return out << QStringLiteral("refused %1").arg(status);
            }
            if (scan.state() != RequestScanner::State::Whole) {
                if (!piece.isEmpty())
                    fail("bytes left over from a read while the request is not whole");
                break;
            }
            checkPassed(stream.sliced(begin, taken - begin), scan);
            out << QStringLiteral("passed %1, %2 bytes, upgrade %3").arg(QString::fromLatin1(scan.head().method)).arg(taken - begin).arg(scan.upgrade());
            begin = taken;
            scan.next();
        }
    }
    return out << (scan.started() ? QStringLiteral("waits for more") : QStringLiteral("waits"));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const qsizetype count = data[0] & 15;
    if (qsizetype(size) < 1 + count)
        return 0;
    const QByteArray lengths(reinterpret_cast<const char *>(data + 1), count);
    const QByteArray stream(reinterpret_cast<const char *>(data + 1 + count), qsizetype(size) - 1 - count);
    if (readStream(stream, lengths) != readStream(stream, {}))
        fail("what is passed or refused depends on how the stream was cut into reads");
    return 0;
}
