#include "gateway/pjlink.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <algorithm>

#include "core/status.h"

namespace qm25::pjlink {
namespace {

// A parameter that sets something, and the commands that do it, in order.
struct Choice {
    std::string_view parameter;
    const CommandRow *first;
    const CommandRow *second = nullptr;
};

constexpr Choice kPowerChoices[] = {
    {"1", &command("power on")},
    {"0", &command("power off")},
};

// PJLink numbers inputs by kind and number: 1x RGB, 2x video.
constexpr Choice kInputChoices[] = {
    {"11", &command("input pc1")},
    {"12", &command("input pc2")},
    {"21", &command("input video")},
};
// The input read's numbers as PJLink names them; input 4 has no name.
constexpr std::pair<int, std::string_view> kInputNames[] = {{1, "11"}, {2, "12"}, {3, "21"}};

// 1x video (NO SHOW), 2x audio (SOUND MUTE), 3x both; x1 on, x0 off.
constexpr Choice kMuteChoices[] = {
    {"10", &command("noshow off")},
    {"11", &command("noshow on")},
    {"20", &command("mute off")},
    {"21", &command("mute on")},
    {"30", &command("noshow off"), &command("mute off")},
    {"31", &command("noshow on"), &command("mute on")},
};

enum class Served {
    Power, Input, Mute, Errors, Lamp, Inputs, Name, Maker, Product, Info, Class,
    InputName, Serial, Software, Resolution, ReplacementPart, Volume, Freeze,
};

// Class 2's speaker volume: one step up or down; its freeze on and off.
constexpr Choice kVolumeChoices[] = {
    {"1", &command("volume up")},
    {"0", &command("volume down")},
};
constexpr Choice kFreezeChoices[] = {
    {"1", &command("freeze on")},
    {"0", &command("freeze off")},
};

// The commands the gateway serves, each in its class; the reads each "?"
// runs. Class 2 keeps Class 1's commands under %1 and adds its own under %2
// (INPT and INST in both). FILT, RRES and MVOL are not here: this projector
// has no filter timer, no recommended resolution and no microphone, so they
// are answered ERR1 as any command it does not have.
struct ServedCommand {
    char pjlinkClass;
    std::string_view command;
    Served what;
    std::span<const Choice> choices;  // empty: "?" only
    const CommandRow *read = nullptr;
    const CommandRow *secondRead = nullptr;
    bool query = true;                // takes "?"
};

constexpr ServedCommand kServed[] = {
    {'1', "POWR", Served::Power, kPowerChoices, &command("power")},
    {'1', "INPT", Served::Input, kInputChoices, &command("input")},
    {'1', "AVMT", Served::Mute, kMuteChoices, &command("mute")},
    {'1', "ERST", Served::Errors, {}, &command("power")},
    {'1', "LAMP", Served::Lamp, {}, &command("lamp time"), &command("power")},
    {'1', "INST", Served::Inputs, {}},
    {'1', "NAME", Served::Name, {}},
    {'1', "INF1", Served::Maker, {}},
    {'1', "INF2", Served::Product, {}},
    {'1', "INFO", Served::Info, {}, &command("identification")},
    {'1', "CLSS", Served::Class, {}},
    {'2', "INPT", Served::Input, kInputChoices, &command("input")},
    {'2', "INST", Served::Inputs, {}},
    {'2', "INNM", Served::InputName, {}},
    {'2', "SNUM", Served::Serial, {}},
    {'2', "SVER", Served::Software, {}, &command("identification")},
    {'2', "IRES", Served::Resolution, {}, &command("mute")},
    {'2', "RLMP", Served::ReplacementPart, {}},
    {'2', "RFIL", Served::ReplacementPart, {}},
    {'2', "SVOL", Served::Volume, kVolumeChoices, nullptr, nullptr, false},
    {'2', "FREZ", Served::Freeze, kFreezeChoices},
};

// What INNM ? answers for each input: the panel's words.
constexpr std::pair<std::string_view, std::string_view> kInputWords[] = {{"11", "PC1"}, {"12", "PC2"}, {"21", "Video"}};

const ServedCommand *servedOf(char pjlinkClass, const QByteArray &command)
{
    for (const ServedCommand &s : kServed)
        if (s.pjlinkClass == pjlinkClass && bytes(s.command) == command)
            return &s;
    return nullptr;
}

const Choice *choiceOf(const ServedCommand &s, const QByteArray &parameter)
{
    for (const Choice &c : s.choices)
        if (bytes(c.parameter) == parameter)
            return &c;
    return nullptr;
}

bool printableAscii(QByteArrayView line)
{
    return std::all_of(line.begin(), line.end(), [](char c) { return c >= 0x20 && c <= 0x7e; });
}

// Keeps an answer within one line of printable ASCII.
QByteArray printable(QByteArrayView text, qsizetype max)
{
    QByteArray out = text.first(std::min(max, text.size())).toByteArray();
    for (char &c : out)
        if (c < 0x20 || c > 0x7e)
            c = '?';
    return out;
}

}  // namespace

QByteArray powerAnswer(const PowerStatus &power)
{
    switch (power.phase) {
    case PowerPhase::Standby: return "0";
    case PowerPhase::On: return "1";
    case PowerPhase::Cooling: return "2";
    case PowerPhase::CountDown: return "3";
    case PowerPhase::Fail:
    case PowerPhase::None: break;
    }
    return {};
}

QByteArray inputAnswer(const InputStatus &input)
{
    const auto *name = std::find_if(std::begin(kInputNames), std::end(kInputNames),
                                    [&](const auto &n) { return n.first == input.input; });
    return name != std::end(kInputNames) ? bytes(name->second).toByteArray() : QByteArray();
}

QByteArray muteAnswer(const MuteSignalStatus &mute)
{
    switch (mute.state) {
    case MuteSignal::MuteOff: return "30";
    case MuteSignal::VideoMute: return "11";
    case MuteSignal::AudioMute: return "21";
    case MuteSignal::VideoAudioMute: return "31";
    case MuteSignal::NoSignal:
    case MuteSignal::Standby: break;
    }
    return {};
}

// ERST: fan, lamp, temperature, cover, filter, other; 0 fine, 1 warning, 2 error.
QByteArray errorAnswer(const PowerStatus &power)
{
    QByteArray digits("000000");
    if (power.phase == PowerPhase::Fail || (power.warnings & kAllLampsFailed))
        digits[1] = '2';
    if (power.warnings & kTemperatureWarning)
        digits[2] = '1';
    return digits;
}

QByteArray versionIn(QByteArrayView identification)
{
    const QByteArray text = identification.trimmed().toByteArray();
    const QByteArray word = text.mid(text.lastIndexOf(' ') + 1);
    const bool version = !word.isEmpty() && word.size() <= kMaxInfo && word.front() >= '0' && word.front() <= '9'
                         && std::all_of(word.begin(), word.end(), [](char c) { return c == '.' || (c >= '0' && c <= '9'); });
    return version ? word : QByteArray();
}

namespace {

std::optional<StatusValue> readOf(const CommandRow &row, const ExchangeResult &result)
{
    return readStatus(row.reading, QString::fromLatin1(result.reply));
}

}  // namespace

QByteArray greeting(const QByteArray &random)
{
    return random.isEmpty() ? QByteArray("PJLINK 0\r") : "PJLINK 1 " + random + '\r';
}

QByteArray makeRandom()
{
    return QByteArray::number(QRandomGenerator::system()->generate(), 16).rightJustified(kRandomLength, '0');
}

QByteArray digestOf(const QByteArray &random, const QByteArray &password)
{
    return QCryptographicHash::hash(random + password, QCryptographicHash::Md5).toHex();
}

bool isHttpRequestLine(QByteArrayView line)
{
    const qsizetype method = line.indexOf(' ');
    if (method < 1 || !std::all_of(line.begin(), line.begin() + method, [](char c) { return c >= 'A' && c <= 'Z'; }))
        return false;
    const qsizetype target = line.indexOf(' ', method + 1);
    return target > method + 1 && line.sliced(target + 1).startsWith("HTTP/");
}

RequestReader::RequestReader(QByteArray digest) : digest_(std::move(digest)) {}

qsizetype RequestReader::limit() const { return kMaxRequest + (digest_.isEmpty() ? 0 : kDigestLength); }

Input RequestReader::next()
{
    Input in;
    const auto close = [&](QString why, QByteArray bytes = {}) {
        closed_ = true;
        buffer_.clear();
        in.kind = Input::Kind::Close;
        in.why = std::move(why);
        in.bytes = std::move(bytes);
        return in;
    };
    if (closed_)
        return close(QStringLiteral("closed"));
    if (afterCr_ && !buffer_.isEmpty()) {
        if (buffer_.startsWith('\n'))
            buffer_.remove(0, 1);
        afterCr_ = false;
    }
    const qsizetype cr = buffer_.indexOf('\r');
    if (cr < 0 || cr >= limit())
        return buffer_.size() < limit() ? in : close(QStringLiteral("a request longer than %1 bytes").arg(kMaxRequest));
    QByteArray line = buffer_.left(cr);
    buffer_.remove(0, cr + 1);
    afterCr_ = true;
    if (isHttpRequestLine(line))
        return close(QStringLiteral("an HTTP request (this is the PJLink port)"));
    if (!digest_.isEmpty()) {
        if (line.size() < kDigestLength || line.left(kDigestLength).toLower() != digest_)
            return close(QStringLiteral("wrong password"), bytes(kAuthError).toByteArray());
        line.remove(0, kDigestLength);
        digest_.clear();
    }
    if (!printableAscii(line))
        return close(QStringLiteral("a request that is not printable ASCII"));
    if (line.size() < 6 || line[0] != '%' || line[1] < '1' || line[1] > '9')
        return close(QStringLiteral("no PJLink request"));
    in.request.pjlinkClass = line[1];
    in.request.command = line.mid(2, 4);
    if (!servedOf(line[1], in.request.command)) {
        in.kind = Input::Kind::Answer;
        in.bytes = answer(in.request, "ERR1");
    } else if (line.size() < 7 || line[6] != ' ') {
        in.kind = Input::Kind::Answer;
        in.bytes = answer(in.request, "ERR2");
    } else {
        in.kind = Input::Kind::Request;
        in.request.parameter = line.mid(7);
    }
    return in;
}

QByteArray answer(const Request &request, QByteArrayView result)
{
    QByteArray line;
    line.reserve(8 + result.size());
    line += '%';
    line += request.pjlinkClass;
    line += request.command;
    line += '=';
    line += result;
    line += '\r';
    return line;
}

QByteArray inputList()
{
    QByteArray list;
    for (const Choice &c : kInputChoices)
        list += (list.isEmpty() ? "" : " ") + bytes(c.parameter).toByteArray();
    return list;
}

Plan planFor(const Request &request, const Identity &identity)
{
    Plan plan;
    const ServedCommand *s = servedOf(request.pjlinkClass, request.command);
    if (!s) {
        plan.answer = answer(request, "ERR1");
        return plan;
    }
    if (s->what == Served::InputName) {
        // "?11": the input follows the question mark.
        const auto *word = std::find_if(std::begin(kInputWords), std::end(kInputWords),
                                        [&](const auto &w) { return '?' + bytes(w.first).toByteArray() == request.parameter; });
        plan.answer = answer(request, word != std::end(kInputWords) ? bytes(word->second) : QByteArrayView("ERR2"));
        return plan;
    }
    if (request.parameter != "?" || !s->query) {
        const Choice *c = choiceOf(*s, request.parameter);
        if (!c) {
            plan.answer = answer(request, "ERR2");
            return plan;
        }
        plan.steps.push_back(c->first);
        if (c->second)
            plan.steps.push_back(c->second);
        return plan;
    }
    switch (s->what) {
    case Served::Inputs: plan.answer = answer(request, inputList()); break;
    case Served::Name: plan.answer = answer(request, printable(identity.name, kMaxName)); break;
    case Served::Maker: plan.answer = answer(request, bytes(kMaker).toByteArray()); break;
    case Served::Product: plan.answer = answer(request, bytes(kProduct).toByteArray()); break;
    case Served::Class: plan.answer = answer(request, QByteArray(1, kClass)); break;
    // The identification carries no serial number, and there is no part
    // number to give: the empty answer of a text the projector does not have.
    case Served::Serial:
    case Served::ReplacementPart: plan.answer = answer(request, ""); break;
    case Served::Freeze: {
        // The projector cannot be asked: what the gateway last set, else off.
        const std::optional<bool> freeze = identity.freeze ? identity.freeze() : std::nullopt;
        plan.answer = answer(request, freeze.value_or(false) ? "1" : "0");
        plan.inTurn = true;
        break;
    }
    default:
        plan.steps.push_back(s->read);
        if (s->secondRead)
            plan.steps.push_back(s->secondRead);
    }
    return plan;
}

QByteArray answerFor(const Request &request, std::span<const ExchangeResult> results)
{
    const Plan plan = planFor(request, {});
    if (!plan.answer.isEmpty())
        return plan.answer;
    for (std::size_t i = 0; i < plan.steps.size(); ++i) {
        if (i >= results.size() || !succeeds(plan.steps[i], results[i].outcome)) {
            // The projector refuses it now (NAK): unavailable at this time;
            // no reply, no line, or a reply of the wrong kind: a failure.
            const bool refused = i < results.size() && results[i].outcome == ExchangeResult::Outcome::Nak;
            return answer(request, refused ? "ERR3" : "ERR4");
        }
    }
    if (request.parameter != "?")
        return answer(request, "OK");

    const auto first = readOf(*plan.steps[0], results[0]);
    QByteArray result;
    bool unavailable = false;  // read, but nothing PJLink can say now: ERR3
    bool empty = false;        // read, and the answer is rightly empty
    switch (servedOf(request.pjlinkClass, request.command)->what) {
    case Served::Power:
        if (const auto *p = statusAs<PowerStatus>(first))
            result = powerAnswer(*p);
        break;
    case Served::Input:
        if (const auto *i = statusAs<InputStatus>(first)) {
            result = inputAnswer(*i);
            unavailable = result.isEmpty();
        }
        break;
    case Served::Mute:
        if (const auto *m = statusAs<MuteSignalStatus>(first)) {
            result = muteAnswer(*m);
            unavailable = result.isEmpty();
        }
        break;
    case Served::Errors:
        if (const auto *p = statusAs<PowerStatus>(first))
            result = errorAnswer(*p);
        break;
    case Served::Lamp: {
        const auto *hours = statusAs<LampHoursStatus>(first);
        const auto power = readOf(*plan.steps[1], results[1]);
        const auto *p = statusAs<PowerStatus>(power);
        if (hours && p && p->phase != PowerPhase::None) {
            const bool lit = p->phase == PowerPhase::On || p->phase == PowerPhase::CountDown;
            result = QByteArray::number(hours->hours) + (lit ? " 1" : " 0");
        }
        break;
    }
    case Served::Info:
        if (const auto *id = statusAs<IdentificationStatus>(first))
            result = printable(id->text.toLatin1(), kMaxInfo);
        break;
    case Served::Software:
        if (const auto *id = statusAs<IdentificationStatus>(first)) {
            result = versionIn(id->text.toLatin1());
            empty = result.isEmpty();
        }
        break;
    case Served::Resolution:
        // The projector tells whether a signal comes, not its resolution:
        // "-" no signal, "*" a signal of a resolution not known.
        if (const auto *m = statusAs<MuteSignalStatus>(first)) {
            result = m->state == MuteSignal::Standby ? "" : m->state == MuteSignal::NoSignal ? "-" : "*";
            unavailable = result.isEmpty();
        }
        break;
    default: break;
    }
    if (result.isEmpty() && !empty)
        return answer(request, unavailable ? "ERR3" : "ERR4");
    return answer(request, result);
}

}  // namespace qm25::pjlink
