#pragma once
// PJLink as the gateway speaks it, Class 1 and Class 2: the greeting and the
// authentication, the reader that cuts a client's bytes into requests, and
// how each request maps onto the projector's commands and their replies.
// Pure functions and values, no sockets: the sessions in sessions.h carry
// them over TCP, pjlink_udp.h the search and the notifications over UDP.
#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/catalogue.h"
#include "core/exchange_client.h"
#include "core/outcome.h"
#include "core/status.h"

namespace qm25::pjlink {

// A request from "%" to its CR, the CR included; the password digest that
// may lead the first request comes on top.
inline constexpr qsizetype kMaxRequest = 136;
inline constexpr qsizetype kDigestLength = 32;
inline constexpr qsizetype kRandomLength = 8;
// Longest password taken from a password file.
inline constexpr qsizetype kMaxPassword = 32;
// Longest answer texts for NAME ?, and for INF1 ?, INF2 ?, INFO ?, SVER ?.
inline constexpr qsizetype kMaxName = 64;
inline constexpr qsizetype kMaxInfo = 32;

inline constexpr std::string_view kMaker = "RUNO";
inline constexpr std::string_view kProduct = "QM25";

// What the server sends on connect: "PJLINK 0" without a password,
// "PJLINK 1 " and the random value with one; CR at the end.
QByteArray greeting(const QByteArray &random);
// Eight random lower-case hex digits.
QByteArray makeRandom();
// The digest a client proves the password with: MD5 of the random value
// and the password, as 32 lower-case hex digits.
QByteArray digestOf(const QByteArray &random, const QByteArray &password);
// Sent before the connection closes on a wrong or missing digest.
inline constexpr std::string_view kAuthError = "PJLINK ERRA\r";

// Whether a line is an HTTP request line ("GET / HTTP/1.1": a method in
// upper-case letters, a blank, a target, a blank, "HTTP/"), as a browser
// sends first, or a web page that posts to the port. The PJLink and the raw
// port close such a connection.
bool isHttpRequestLine(QByteArrayView line);

// The class the gateway answers CLSS ? with.
inline constexpr char kClass = '2';

struct Request {
    char pjlinkClass = '1';  // '1' or '2': the commands of each class are their own
    QByteArray command;    // four characters: "POWR"
    QByteArray parameter;  // after the blank: "1", "?"
};

// What the reader makes of the next piece of a client's bytes.
struct Input {
    enum class Kind {
        More,     // no whole request yet: append more bytes
        Request,  // a request to serve
        Answer,   // a request answered at once (ERR1, ERR2): send `bytes`
        Close,    // send `bytes` (may be empty), then close the connection
    };
    Kind kind = Kind::More;
    Request request;
    QByteArray bytes;
    QString why;  // Close: for the log
};

// Cuts a client's byte stream into requests. A request ends at CR; an LF
// right after the CR (a terminal's line end) is dropped. With a password,
// the first request must carry the digest in front: a wrong or missing one
// closes the connection after "PJLINK ERRA". A request longer than
// kMaxRequest, bytes other than printable ASCII, an HTTP request line (no
// password attempt, whatever the digest), or a line that is no PJLink
// request at all ("%", class digit, four characters) close the connection;
// a command the gateway does not serve in the request's class (%2POWR,
// %1FREZ, %3...) is answered ERR1, a missing blank ERR2. After a Close,
// nothing more is read.
class RequestReader {
public:
    // `digest`: what the first request must start with; empty: no password.
    explicit RequestReader(QByteArray digest = {});

    void append(QByteArrayView bytes) { buffer_.append(bytes); }
    Input next();
    // How many bytes the reader holds at most before it gives up on a
    // request that never ends: what a caller need not read beyond.
    qsizetype limit() const;
    bool closed() const { return closed_; }

private:
    QByteArray buffer_;
    QByteArray digest_;
    bool closed_ = false;
    bool afterCr_ = false;  // a request has just ended: an LF next is its line end
};

// The answer line: "%1" + command + "=" + result + CR.
QByteArray answer(const Request &request, QByteArrayView result);

// How a request is served: answered at once, or by the commands in `steps`
// run in turn, the answer made from their results by answerFor(). An
// answer `inTurn` tells what the gateway knows when the request's turn
// comes (FREZ ?: after the client's own FREZ 1 sent before it): plan it
// again then.
struct Plan {
    QByteArray answer;
    std::vector<const CommandRow *> steps;
    bool inTurn = false;
};

// What the gateway answers without asking the projector: NAME ?, and the
// freeze as last set through the gateway since the line opened (FREZ ?;
// nothing when not set since, or no source).
struct Identity {
    QByteArray name = "QM25";
    std::function<std::optional<bool>()> freeze;
};

Plan planFor(const Request &request, const Identity &identity);
// The answer to a planned request from the results of its steps, in order;
// fewer results than steps when one failed and the rest did not run.
QByteArray answerFor(const Request &request, std::span<const ExchangeResult> results);

// The inputs there are, as INST ? lists them: "11 12 21".
QByteArray inputList();

// What POWR ?, INPT ?, AVMT ? and ERST ? answer for a reading (and what a
// notification says); empty where PJLink has no word for it (power fail,
// input 4, no signal, stand-by).
QByteArray powerAnswer(const PowerStatus &power);
QByteArray inputAnswer(const InputStatus &input);
QByteArray muteAnswer(const MuteSignalStatus &mute);
QByteArray errorAnswer(const PowerStatus &power);
// The software version in the identification's text: its last word when
// that is a version number ("QM25 SIM 1.40": "1.40"); empty otherwise.
QByteArray versionIn(QByteArrayView identification);

}  // namespace qm25::pjlink
