#include "gateway/pjlink_datagrams.h"

#include <algorithm>
#include <cctype>

#include "gateway/pjlink.h"

namespace qm25::pjlink {

bool isSearch(QByteArrayView datagram)
{
    return datagram == "%2SRCH\r" || datagram == "%2SRCH\r\n";
}

QByteArray macOf(const QString &hardwareAddress)
{
    // Six pairs of hex digits with a colon between each two, or zeros.
    const QByteArray text = hardwareAddress.toLatin1();
    bool six = text.size() == 17;
    for (qsizetype i = 0; six && i < text.size(); ++i)
        six = i % 3 == 2 ? text[i] == ':' : std::isxdigit(uchar(text[i])) != 0;
    return six ? text.toUpper() : QByteArray("00:00:00:00:00:00");
}

QByteArray searchAnswer(const QByteArray &mac) { return answer({'2', "ACKN", {}}, mac); }

QByteArray linkUp(const QByteArray &mac) { return answer({'2', "LKUP", {}}, mac); }

std::vector<std::pair<QByteArray, QByteArray>> notificationsOf(const StatusValue &value)
{
    std::vector<std::pair<QByteArray, QByteArray>> out;
    const auto add = [&](const char *command, const QByteArray &result) {
        if (!result.isEmpty())
            out.emplace_back(command, answer({'2', command, {}}, result));
    };
    if (const auto *power = std::get_if<PowerStatus>(&value)) {
        add("POWR", powerAnswer(*power));
        add("ERST", errorAnswer(*power));
    } else if (const auto *input = std::get_if<InputStatus>(&value)) {
        add("INPT", inputAnswer(*input));
    } else if (const auto *mute = std::get_if<MuteSignalStatus>(&value)) {
        add("AVMT", muteAnswer(*mute));
    }
    return out;
}

bool SourceLimit::allow(const QHostAddress &source, qint64 nowMs)
{
    std::erase_if(last_, [&](const auto &entry) { return nowMs - entry.second >= gapMs_; });
    if (secondStart_ < 0 || nowMs - secondStart_ >= 1000) {
        secondStart_ = nowMs;
        inSecond_ = 0;
    }
    const QString key = source.toString();
    if (last_.count(key) || last_.size() >= maxSources_ || inSecond_ >= perSecond_)
        return false;
    last_[key] = nowMs;
    ++inSecond_;
    return true;
}

void ControllerTable::seen(const QHostAddress &address, const QByteArray &mac, qint64 nowMs)
{
    const auto it = std::find_if(controllers_.begin(), controllers_.end(),
                                 [&](const Controller &c) { return c.address.isEqual(address, QHostAddress::TolerantConversion); });
    if (it != controllers_.end()) {
        it->mac = mac;
        it->seenMs = nowMs;
        return;
    }
    if (controllers_.size() >= kMax)
        controllers_.erase(std::min_element(controllers_.begin(), controllers_.end(),
                                            [](const Controller &a, const Controller &b) { return a.seenMs < b.seenMs; }));
    controllers_.push_back({address, mac, nowMs});
}

void ControllerTable::age(qint64 nowMs)
{
    std::erase_if(controllers_, [&](const Controller &c) { return nowMs - c.seenMs >= kLifetimeMs; });
}

}  // namespace qm25::pjlink
