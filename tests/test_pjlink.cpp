// The gateway's parts without sockets: the PJLink request reader, the
// mapping of requests onto the projector's commands and replies, the UDP
// datagrams and their bounds, the options, the throttle of wrong passwords,
// the queue that shares the line among clients, the one watcher of the
// projector's state on it, and the metrics made from them.
#include <QtTest>
#include <sys/stat.h>

#include "gateway/exchange_queue.h"
#include "gateway/gateway_metrics.h"
#include "gateway/options.h"
#include "gateway/password_throttle.h"
#include "gateway/pjlink.h"
#include "gateway/pjlink_datagrams.h"
#include "gateway/state_watcher.h"
#include "support/fake_line.h"

using namespace qm25;
using namespace qm25::gateway;
using pjlink::Input;

namespace {

// Everything the reader makes of `bytes`, fed whole or a byte at a time:
// "R:POWR 1" a request, "A:..." an answer at once, "C:BYTES/WHY" a close; "|" between.
QString readAll(const QByteArray &bytes, const QByteArray &digest, bool bytewise)
{
    pjlink::RequestReader reader(digest);
    QStringList out;
    for (qsizetype i = 0; i < bytes.size() && !reader.closed(); i += bytewise ? 1 : bytes.size()) {
        reader.append(QByteArrayView(bytes).sliced(i, bytewise ? 1 : bytes.size()));
        for (Input in = reader.next(); in.kind != Input::Kind::More; in = reader.next()) {
            out << (in.kind == Input::Kind::Request ? "R:" + in.request.command + ' ' + in.request.parameter
                    : in.kind == Input::Kind::Answer ? "A:" + QString::fromLatin1(in.bytes).remove('\r')
                    : "C:" + QString::fromLatin1(in.bytes).remove('\r') + '/' + in.why);
            if (in.kind == Input::Kind::Close)
                break;
        }
    }
    return out.join('|');
}

// An exchange's result from a short text: ACK, NAK, ERR, none, lost, or data.
ExchangeResult result(const QByteArray &text)
{
    using O = ExchangeResult::Outcome;
    const std::map<QByteArray, std::pair<O, QByteArray>> kinds{{"ACK", {O::Ack, "\x06\r"}}, {"NAK", {O::Nak, "\x15\r"}},
        {"ERR", {O::Unknown, "ERR\r"}}, {"none", {O::NoReply, ""}}, {"lost", {O::Lost, ""}}};
    const auto kind = kinds.find(text);
    ExchangeResult r;
    r.outcome = kind == kinds.end() ? O::Data : kind->second.first;
    r.reply = kind == kinds.end() ? text + '\r' : kind->second.second;
    return r;
}

}  // namespace

class PjlinkTest : public QObject {
    Q_OBJECT
private slots:
    void reader_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("password");  // "secret", with the random value 0123abcd
        QTest::addColumn<QString>("read");
        const auto row = [](const char *name, const QByteArray &bytes, bool password, const char *read) {
            QTest::newRow(name) << bytes << password << QString::fromLatin1(read);
        };
        const QByteArray digest = pjlink::digestOf("0123abcd", "secret"), x128(128, 'x');
        row("one request", "%1POWR ?\r", false, "R:POWR ?");
        row("CR LF, then another", "%1POWR 1\r\n%1INPT 11\r", false, "R:POWR 1|R:INPT 11");
        row("one LF after a CR only", "%1CLSS ?\r\n\n%1CLSS ?\r", false, "R:CLSS ?|C:/a request that is not printable ASCII");
        row("136 bytes", "%1NAME " + x128 + '\r', false, qPrintable("R:NAME " + x128));
        row("137 bytes", "%1NAME y" + x128 + '\r', false, "C:/a request longer than 136 bytes");
        row("no CR within 136 bytes", QByteArray(500, '%'), false, "C:/a request longer than 136 bytes");
        row("unknown command", "%1ABCD ?\r%1powr ?\r", false, "A:%1ABCD=ERR1|A:%1powr=ERR1");
        row("each class its own commands", "%2FREZ 1\r%1FREZ 1\r%2POWR ?\r%3CLSS ?\r", false,
            "R:FREZ 1|A:%1FREZ=ERR1|A:%2POWR=ERR1|A:%3CLSS=ERR1");
        row("no blank", "%1POWR\r%1POWR?\r", false, "A:%1POWR=ERR2|A:%1POWR=ERR2");
        row("not ASCII, nothing after", "%1POWR \xff\r%1POWR ?\r", false, "C:/a request that is not printable ASCII");
        row("no PJLink", "GET /\r", false, "C:/no PJLink request");
        row("HTTP, no password attempt", "POST /x?y HTTP/1.0\r\n", true, "C:/an HTTP request (this is the PJLink port)");
        row("right password, then none needed", digest + "%1POWR ?\r%1LAMP ?\r", true, "R:POWR ?|R:LAMP ?");
        row("upper-case digest", digest.toUpper() + "%1POWR ?\r", true, "R:POWR ?");
        row("wrong password", pjlink::digestOf("0123abcd", "Secret") + "%1POWR ?\r", true, "C:PJLINK ERRA/wrong password");
        row("no digest", "%1POWR ?\r", true, "C:PJLINK ERRA/wrong password");
    }
    void reader()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, password);
        QFETCH(QString, read);
        const QByteArray digest = password ? pjlink::digestOf("0123abcd", "secret") : QByteArray();
        QCOMPARE(readAll(bytes, digest, false), read);
        QCOMPARE(readAll(bytes, digest, true), read);
    }

    void mapping_data()
    {
        QTest::addColumn<QByteArray>("request");    // class 1, or "%2" and a class 2 request
        QTest::addColumn<QStringList>("commands");  // the catalogue's names, in order
        QTest::addColumn<QStringList>("replies");
        QTest::addColumn<QByteArray>("answer");
        // Cases "REPLY,REPLY=ANSWER; ...": replies ACK, NAK, ERR, none, lost, or data.
        const auto rows = [](const char *request, const char *commands, const QString &cases) {
            for (const QString &c : cases.split(';'))
                QTest::addRow("%s %s", request, qPrintable(c.section('=', 0, 0).trimmed()))
                    << QByteArray(request) << QString(commands).split(',', Qt::SkipEmptyParts)
                    << c.section('=', 0, 0).trimmed().split(',', Qt::SkipEmptyParts) << c.section('=', 1).trimmed().toLatin1();
        };
        rows("POWR 1", "power on", "ACK=OK; NAK=ERR3; ERR=ERR4; none=ERR4; lost=ERR4; 80=ERR4");
        rows("POWR 0", "power off", "ACK=OK");
        rows("POWR ?", "power", "80=0; 00=1; 20=2; 40=3; 88=0; 24=2; 10=ERR4; x=ERR4; ACK=ERR4");
        rows("INPT 11", "input pc1", "ACK=OK");
        rows("INPT 12", "input pc2", "NAK=ERR3");
        rows("INPT 21", "input video", "ACK=OK");
        rows("INPT ?", "input", "1=11; 2=12; 3=21; 4=ERR3");
        rows("INST ?", "", "=11 12 21");
        rows("AVMT 10", "noshow off", "ACK=OK");
        rows("AVMT 11", "noshow on", "ACK=OK");
        rows("AVMT 20", "mute off", "ACK=OK");
        rows("AVMT 21", "mute on", "ACK=OK");
        rows("AVMT 30", "noshow off,mute off", "ACK,ACK=OK");
        rows("AVMT 31", "noshow on,mute on", "NAK=ERR3; ACK,none=ERR4");
        rows("AVMT ?", "mute", "00=30; 01=11; 02=21; 03=31; 80=ERR3; FF=ERR3");
        rows("ERST ?", "power", "00=000000; 08=001000; 28=001000; 10=020000; 21=020000; 81=020000; 04=000000");
        rows("LAMP ?", "lamp time,power", "01234,00=1234 1; 00000,80=0 0; 00012,40=12 1; 01234,none=ERR4; 12a=ERR4");
        rows("INFO ?", "identification", "QM25 SIM 1.40=QM25 SIM 1.40; " + QString(40, 'I') + "\x01=" + QString(32, 'I'));
        rows("NAME ?", "", "=Room 101");
        rows("INF1 ?", "", "=RUNO");
        rows("INF2 ?", "", "=QM25");
        rows("CLSS ?", "", "=2");
        rows("%2FREZ 1", "freeze on", "ACK=OK; NAK=ERR3");
        rows("%2FREZ ?", "", "=0");  // nothing set since the line opened
        rows("%2SVOL 1", "volume up", "ACK=OK; NAK=ERR3");
        rows("%2SVOL 0", "volume down", "none=ERR4");
        rows("%2INPT ?", "input", "2=12; 4=ERR3");
        rows("%2INST ?", "", "=11 12 21");
        rows("%2INNM ?21", "", "=Video");
        rows("%2SVER ?", "identification", "QM25 SIM 1.40=1.40; QM25 SIM=; V1.4=; 1.4a=; none=ERR4");
        rows("%2IRES ?", "mute", "80=-; 00=*; 03=*; FF=ERR3");
        for (const char *empty : {"%2SNUM ?", "%2RLMP ?", "%2RFIL ?"})
            rows(empty, "", "=");
        for (const char *outOfRange : {"POWR 2", "INPT 22", "INPT 60", "INPT 1", "INPT ", "AVMT 40", "INST 1", "CLSS 1",
                 "%2SVOL ?", "%2SVOL 2", "%2FREZ 2", "%2INNM ?31", "%2INNM 11", "%2INNM ?", "%2SNUM 1"})
            rows(outOfRange, "", "=ERR2");
        for (const char *unknown : {"SVOL 1", "FREZ ?", "%2FILT ?", "%2RRES ?", "%2MVOL 1", "%2POWR ?", "%2CLSS ?"})
            rows(unknown, "", "=ERR1");
    }
    void mapping()
    {
        QFETCH(QByteArray, request);
        QFETCH(QStringList, commands);
        QFETCH(QStringList, replies);
        QFETCH(QByteArray, answer);
        const bool two = request.startsWith("%2");
        const pjlink::Request r{two ? '2' : '1', request.mid(two ? 2 : 0, 4), request.mid(two ? 7 : 5)};
        const pjlink::Plan plan = pjlink::planFor(r, {"Room 101", {}});
        QStringList planned;
        for (const CommandRow *row : plan.steps)
            planned << QString(latin1(row->name));
        QCOMPARE(planned, commands);
        std::vector<ExchangeResult> results;
        for (const QString &reply : replies)
            results.push_back(result(reply.toLatin1()));
        QCOMPARE(plan.steps.empty() ? plan.answer : pjlink::answerFor(r, results),
                 '%' + QByteArray(1, r.pjlinkClass) + r.command + '=' + answer + '\r');
    }

    // What a datagram is, and what a reading notifies (the projector's reply
    // to the read that gives it).
    void datagrams_data()
    {
        QTest::addColumn<QByteArray>("what");  // "search", "mac", or the read's code
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("gives");
        const auto row = [](const char *name, const char *what, const QByteArray &bytes, const char *gives) {
            QTest::newRow(name) << QByteArray(what) << bytes << QByteArray(gives);
        };
        row("search", "search", "%2SRCH\r", "%2ACKN=00:00:00:00:00:00");
        row("search, LF", "search", "%2SRCH\r\n", "%2ACKN=00:00:00:00:00:00");
        for (const char *bad : {"%2srch\r", "%2SRCH", "%1SRCH\r", "%2SRCH \r", "%2SRCH\r%2SRCH\r", "%2ACKN=00:00:00:00:00:00\r", ""})
            row(qPrintable("no search: " + QByteArray(bad).replace('\r', "CR")), "search", bad, "");
        row("no search: 137 bytes", "search", "%2SRCH\r" + QByteArray(130, ' '), "");
        row("MAC", "mac", "52:54:00:ab:cd:ef", "52:54:00:AB:CD:EF");
        for (const char *none : {"", "00:11:22:33:44:55:66:77", "00:11:22:33:44:5x"})
            row(qPrintable("no MAC: " + QByteArray(none)), "mac", none, "00:00:00:00:00:00");
        row("power on", "CR0", "00", "%2POWR=1|%2ERST=000000");
        row("cooling, warm", "CR0", "28", "%2POWR=2|%2ERST=001000");
        row("power fail", "CR0", "10", "%2ERST=020000");
        row("input", "CR1", "3", "%2INPT=21");
        row("input 4", "CR1", "4", "");
        row("mute", "CRA", "03", "%2AVMT=31");
        row("no signal", "CRA", "80", "");
    }
    void datagrams()
    {
        QFETCH(QByteArray, what);
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, gives);
        QByteArrayList lines;
        if (what == "search")
            lines << (pjlink::isSearch(bytes) ? pjlink::searchAnswer(pjlink::macOf({})) : QByteArray());
        else if (what == "mac")
            lines << pjlink::macOf(QString::fromLatin1(bytes));
        else
            for (const auto &[command, line] : pjlink::notificationsOf(*readStatus(statusReadOfFrame(QString::fromLatin1(what + '\r'))->reading, QString::fromLatin1(bytes))))
                lines << line.chopped(1);
        QCOMPARE(lines.join('|').replace('\r', ""), gives);
    }

    // Past each bound many times over: one source's searches, a flood of
    // sources, controllers that come and go.
    void udpBounds()
    {
        pjlink::SourceLimit limit(1000, 32, 256);
        int answered = 0;
        for (int ms = 0; ms < 1000; ++ms)
            answered += limit.allow(QHostAddress("192.0.2.1"), ms);
        QVERIFY(answered == 1 && limit.allow(QHostAddress("192.0.2.1"), 1000));
        for (quint32 i = 0; i < 5000; ++i)  // forged sources: 32 a second in all
            answered += limit.allow(QHostAddress(0xc6336400 + i), 2000 + i / 10);
        QCOMPARE(answered, 1 + 32);
        pjlink::SourceLimit wide(1000, 100000, 256);  // 256 sources remembered at most
        for (quint32 i = 0; i < 5000; ++i)
            wide.allow(QHostAddress(0xc6336400 + i), 0);
        QVERIFY(wide.size() == 256 && !wide.allow(QHostAddress("192.0.2.1"), 999) && wide.allow(QHostAddress("192.0.2.1"), 1000));

        pjlink::ControllerTable table;
        for (int i = 0; i < 100; ++i) {
            table.seen(QHostAddress(0xc0000200 + quint32(i)), "m", i);
            table.seen(QHostAddress("192.0.2.250"), "m", i);  // one that keeps speaking stays
        }
        QStringList kept;
        for (const pjlink::Controller &c : table.all())
            kept << c.address.toString();
        QCOMPARE(kept.size(), int(pjlink::ControllerTable::kMax));  // the newest 15 and the one that kept speaking
        QVERIFY(kept.contains("192.0.2.250") && kept.contains("192.0.2.85") && !kept.contains("192.0.2.84"));
        table.age(99 + pjlink::ControllerTable::kLifetimeMs - 1);
        QCOMPARE(table.all().size(), 2u);
        table.age(99 + pjlink::ControllerTable::kLifetimeMs);
        QVERIFY(table.all().empty());
    }

    void options_data()
    {
        QTest::addColumn<QString>("args");
        QTest::addColumn<QString>("listens");  // PJLink, raw and HTTP port, or the start of the error
        const auto row = [](const char *args, const char *listens) { QTest::newRow(args) << args << listens; };
        row("", "127.0.0.1:4352 ");
        row("--password-file f --raw 4001", "0.0.0.0:4352 127.0.0.1:4001");
        row("--pjlink 0.0.0.0:4352", "--pjlink 0.0.0.0:4352 is beyond loopback");
        row("--no-password --pjlink=[::]:1", "[::]:1 ");
        row("--password-file f --raw 192.0.2.1:4001", "--raw 192.0.2.1:4001 is beyond loopback");
        row("--no-password --raw [::1]:7", "0.0.0.0:4352 [::1]:7");
        row("--http 8080", "127.0.0.1:4352  127.0.0.1:8080");
        row("--password-file f --http 8080", "0.0.0.0:4352  0.0.0.0:8080");
        row("--http 0.0.0.0:8080", "--http 0.0.0.0:8080 is beyond loopback");
        row("--password-file f --metrics 9425", "0.0.0.0:4352  metrics 0.0.0.0:9425");
        row("--metrics 0.0.0.0:9425", "--metrics 0.0.0.0:9425 is beyond loopback");
        row("--http 8080 --trusted-proxy 127.0.0.1", "--trusted-proxy: the web panel is reached from other machines");
        row("--password-file f --trusted-proxy proxy.example", "--trusted-proxy wants an address");
        row("--password=secret", "unknown option \"--password\"");
        row("--baud 4800", "--baud wants");
        row("--pjlink 65536", "--pjlink: \"65536\"");
        row("--name nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn", "--name wants");
    }
    void options()
    {
        QFETCH(QString, args);
        QFETCH(QString, listens);
        QString error;
        const auto o = parseOptions(("qm25d " + args).split(' ', Qt::SkipEmptyParts), &error);
        QCOMPARE(o ? o->pjlink.text() + ' ' + (o->raw ? o->raw->text() : QString()) + (o->http ? ' ' + o->http->text() : QString())
                         + (o->metrics ? " metrics " + o->metrics->text() : QString())
                   : error.left(listens.size()), listens);
    }

    void helpListsEveryOption()
    {
        // At the start of a line of its own, with its value's name when it
        // takes one (--http [HOST:]PORT), else with none (--verbose).
        for (const OptionName &o : optionNames())
            QVERIFY2(QRegularExpression("^  (-h, )?" + QRegularExpression::escape(QLatin1String(o.name)) + (o.takesValue ? " [^ ]" : "(,|  |$)"),
                                        QRegularExpression::MultilineOption).match(QLatin1String(kUsage)).hasMatch(), o.name.data());
    }

    void passwordFile()
    {
        QTemporaryDir dir;
        QFile f(dir.filePath("pw"));
        // Content, permissions, the password (none: refused), the warning: when
        // others may read the file or change it; its owner's group may read it.
        for (const auto &[content, mode, password, warns] : {std::tuple<QByteArray, int, QByteArray, QString>
                 {"s3cret\r\nignored", 0640, "s3cret", ""}, {QByteArray(32, 'p'), 0644, QByteArray(32, 'p'), "read by anyone: chmod o-r"},
                 {"s3cret", 0620, "s3cret", "changed by others than its owner: chmod go-w"}, {"", 0600, "", ""},
                 {"\n", 0600, "", ""}, {"two words", 0600, "", ""}, {QByteArray(33, 'p'), 0600, "", ""}}) {
            QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(content) == content.size());
            f.close();
            QString error, warning;
            QVERIFY(::chmod(qPrintable(f.fileName()), mode) == 0);
            QCOMPARE(readPasswordFile(f.fileName(), &error, &warning).value_or(QByteArray()), password);
            QCOMPARE(warning.section(" may be ", 1).section(' ', 0, -2), warns);
        }
        // No plain file: refused at once, a named pipe never waited on.
        QString error, warning;
        QVERIFY(::mkfifo(qPrintable(dir.filePath("fifo")), 0600) == 0 && !readPasswordFile(dir.filePath("fifo"), &error, &warning));
        QVERIFY2(error.endsWith(": it is not a plain file"), qPrintable(error));
    }

    // Wrong passwords counted per address: the guesser's tries are refused,
    // said once, then counted once a minute; no other machine is refused,
    // and addresses that come and go push out each other, not the guesser.
    void throttle()
    {
        qint64 now = 0;
        PasswordThrottle throttle([&now] { return now; });
        int said = 0;
        connect(&throttle, &PasswordThrottle::log, this, [&said] { ++said; });
        const QHostAddress guesser("192.0.2.1");
        for (int i = 0; i < 9; ++i)
            throttle.failed(guesser);
        QVERIFY(throttle.admits(guesser, "PJLink"));
        throttle.failed(QHostAddress("::ffff:192.0.2.1"));  // the same machine, as IPv6 takes it
        QVERIFY(!throttle.admits(guesser, "PJLink") && !throttle.admits(guesser, "HTTP"));
        QVERIFY(throttle.admits(QHostAddress("192.0.2.2"), "HTTP") && throttle.admits(QHostAddress("2001:db8::1"), "HTTP"));
        throttle.report();
        throttle.report();  // a minute without refusals: nothing to say
        QVERIFY(!throttle.admits(guesser, "HTTP"));
        QCOMPARE(said, 3);
        for (quint32 i = 0; i < 3000; ++i, ++now)
            throttle.failed(QHostAddress(0x0a000000 + i));
        QVERIFY(throttle.addresses() <= PasswordThrottle::kMaxAddresses && !throttle.admits(guesser, "PJLink"));
    }

    // --- the queue on a line without a device ---------------------------------
    void queueTakesTurnsAndSharesReads()
    {
        test::FakeLine line;
        ExchangeClient client(&line);
        ExchangeQueue queue(&client);
        QStringList done;
        const auto job = [&](int id, QByteArrayList frames, const QString &name) {
            std::vector<Step> steps;
            for (const QByteArray &f : frames)
                steps.push_back({f + '\r', 1000});
            return queue.enqueue(id, steps, [&done, name](std::vector<ExchangeResult> r) {
                done << QStringLiteral("%1:%2").arg(name).arg(QString::fromLatin1(r.back().body()));
            });
        };
        const auto onTheLine = [&] { QVERIFY(QTest::qWaitFor([&] { return client.isBusy(); }, 5000)); };
        const auto reply = [&](const QByteArray &bytes) { onTheLine(), line.feed(bytes); };
        const int a = queue.addClient("a"), b = queue.addClient("b"), c = queue.addClient("c");
        QVERIFY(job(a, {"C05"}, "a1") && job(a, {"C0D", "C0B"}, "a2") && job(a, {"C06"}, "a3"));
        QVERIFY(job(b, {"CR0"}, "b1") && job(c, {"CR0"}, "c1"));
        reply("\x06\r");  // a1
        onTheLine();      // b1's read
        QVERIFY(job(c, {"CR0"}, "c2"));  // too late to share b1's read
        line.feed("80\r");  // b1, and c1 with it
        for (const char *bytes : {"00\r", "\x15\r", "\x06\r"})  // c2; a2 refused: its second step does not run; a3
            reply(bytes);
        QCOMPARE(done, (QStringList{"a1:\x06", "b1:80", "c1:80", "c2:00", "a2:\x15", "a3:\x06"}));
        QCOMPARE(line.written, (QByteArrayList{"C05\r", "CR0\r", "CR0\r", "C0D\r", "C06\r"}));

        // A client that leaves while its exchange runs: the exchange ends on
        // the line, unheard; the next frame gets its own reply.
        QVERIFY(job(b, {"CR3"}, "b2") && job(a, {"CR1"}, "gone") && job(b, {"CR0"}, "b3"));
        reply("00042\r");
        onTheLine();
        queue.removeClient(a);
        line.feed("2\r");
        reply("80\r");
        QCOMPARE(done.mid(6), (QStringList{"b2:00042", "b3:80"}));
        QCOMPARE(line.written.mid(5), (QByteArrayList{"CR3\r", "CR1\r", "CR0\r"}));

        // Within a client too, behind nothing but reads; never before a
        // command sent earlier.
        const int d = queue.addClient("d"), e = queue.addClient("e");
        QVERIFY(job(d, {"CR3", "CR0"}, "d1") && job(d, {"CR0"}, "d2") && job(e, {"C00"}, "e1") && job(e, {"CR0"}, "e2"));
        for (const char *bytes : {"00042\r", "80\r", "\x06\r", "40\r"})
            reply(bytes);
        QCOMPARE(done.mid(8), (QStringList{"d1:80", "d2:80", "e1:\x06", "e2:40"}));
        QCOMPARE(line.written.mid(8), (QByteArrayList{"CR3\r", "CR0\r", "C00\r", "CR0\r"}));

        // A full queue takes no more until a job is done.
        for (int i = 0; i < ExchangeQueue::kJobsPerClient; ++i)
            QVERIFY(job(b, {"C09"}, "up"));
        QVERIFY(!queue.hasRoom(b));
        QVERIFY(!job(b, {"C09"}, "one too many"));
        reply("\x06\r");
        QVERIFY(queue.hasRoom(b));
    }
    // The watcher polls exactly while someone watches, and learns from
    // every exchange on the queue, whoever ran it.
    void stateWatcher()
    {
        test::FakeLine line;
        ExchangeClient client(&line);
        ExchangeQueue queue(&client);
        StateWatcher watcher(&queue, 60000);
        QList<Reading> changed;
        connect(&watcher, &StateWatcher::valueChanged, this, [&](Reading r) { changed << r; });
        const auto replyTo = [&](const QByteArray &frame, const QByteArray &bytes) {
            QVERIFY(QTest::qWaitFor([&] { return client.isBusy(); }, 5000));
            QCOMPARE(line.written.last(), frame + '\r');
            line.feed(bytes + '\r');
        };
        const int other = queue.addClient("other");
        const auto run = [&](const QByteArray &frame, const QByteArray &reply) {
            QVERIFY(queue.enqueue(other, {{frame + '\r', 1000}}, {}));
            replyTo(frame, reply);
        };
        watcher.lineOpened();
        QVERIFY(!watcher.polling() && line.written.isEmpty());  // nobody watches: nothing read
        watcher.watch();
        watcher.watch();
        QVERIFY(watcher.polling());
        // Two front doors that want a fresh reading while the first round is
        // on its way: one round more serves both, after it.
        int fresh = 0;
        watcher.whenFresh(0, [&] { ++fresh; });
        watcher.whenFresh(0, [&] { ++fresh; });
        for (int round = 0; round < 2; ++round) {
            QCOMPARE(fresh, 0);
            for (const auto &[frame, reply] : {std::pair<QByteArray, QByteArray>{"CR0", "80"}, {"CR1", "1"},
                     {"CR3", "00012"}, {"CR6", "065.0  42.0 027.0"}, {"CRA", "FF"}})
                replyTo(frame, reply);
        }
        QTRY_COMPARE(fresh, 2);
        QTRY_COMPARE(watcher.snapshot().value("outcome").toString(), QStringLiteral("ok"));
        QCOMPARE(changed.size(), 5);
        QCOMPARE(watcher.snapshot().value("status").toObject().value("lamp time").toObject().value("hours").toInt(), 12);

        // Another client's read is news without a read of its own; a command
        // that changes what a read shows is followed by that read alone.
        run("CR0", "00");
        QCOMPARE(watcher.snapshot()["status"].toObject()["power"].toObject()["state"].toString(), QStringLiteral("on"));
        run("C06", "\x06");
        replyTo("CR1", "2");
        run("C09", "\x06");  // the volume shows in no read
        run("C43", "\x06");
        QCOMPARE(watcher.freeze(), std::optional<bool>(true));
        QTest::qWait(50);
        QCOMPARE(line.written.size(), 15);
        QCOMPARE(changed.mid(5), (QList<Reading>{Reading::Power, Reading::Input}));

        watcher.lineDown("gone");
        QCOMPARE(watcher.snapshot().value("line_error").toString(), QStringLiteral("gone"));
        watcher.lineOpened();  // the freeze set before is not known any more
        QCOMPARE(watcher.freeze(), std::nullopt);
        watcher.unwatch();
        QVERIFY(watcher.polling());
        watcher.unwatch();
        QVERIFY(!watcher.polling());
        watcher.unwatch();  // one too many is no watcher less than none
        watcher.watch();
        QVERIFY(watcher.polling());
    }

    // --- the metrics --------------------------------------------------------------
    // HELP and TYPE once a family, label values and help escaped, numbers as
    // Prometheus reads them, a histogram's buckets cumulative up to +Inf
    // (a bound counts what equals it).
    void exposition()
    {
        MetricFamily state{"t_state", "A \\ help\nline", MetricFamily::Type::Gauge,
                           {{{}, {{"state", "a\"b\\c\nd"}}, 1}, {{}, {{"state", "on"}, {"x", ""}}, 0.25}}};
        MetricFamily age{"t_age_seconds", "Age.", MetricFamily::Type::Gauge, {{{}, {}, INFINITY}}};
        MetricFamily durations{"t_seconds", "Durations.", MetricFamily::Type::Histogram, {}};
        Histogram histogram({0.25, 1});
        for (const double v : {0.125, 0.25, 0.5, 8.0})
            histogram.observe(v);
        histogram.addTo(durations);
        const QStringList text{"# HELP t_state A \\\\ help\\nline", "# TYPE t_state gauge", "t_state{state=\"a\\\"b\\\\c\\nd\"} 1",
            R"(t_state{state="on",x=""} 0.25)", "# HELP t_age_seconds Age.", "# TYPE t_age_seconds gauge", "t_age_seconds +Inf",
            "# HELP t_seconds Durations.", "# TYPE t_seconds histogram", R"(t_seconds_bucket{le="0.25"} 2)",
            R"(t_seconds_bucket{le="1"} 3)", R"(t_seconds_bucket{le="+Inf"} 4)", "t_seconds_sum 8.875", "t_seconds_count 4"};
        QCOMPARE(QString(gateway::exposition({state, age, durations})), text.join('\n') + '\n');
    }

    // The projector's values as the watcher read them, from another
    // client's exchanges; the exchanges counted.
    void metricsOfState_data()
    {
        QTest::addColumn<QByteArrayList>("exchanges");  // FRAME=REPLY; ACK, NAK spelled so
        QTest::addColumn<QByteArrayList>("lines");      // sample lines in the text; "!" first: none starts so
        const auto row = [](const char *name, const char *exchanges, const char *lines) {
            QTest::newRow(name) << (*exchanges ? QByteArray(exchanges).split('|') : QByteArrayList()) << QByteArray(lines).split('|');
        };
        row("nothing read", "", R"(qm25_line_up 1|qm25_status_age_seconds{reading="lamp time"} +Inf|!qm25_power_state{|!qm25_lamp_time_seconds)");
        row("stand-by", "CR0=80", R"(qm25_power_state{state="standby"} 1|qm25_power_state{state="on"} 0|qm25_temperature_warning 0|qm25_lamp_failed 0)");
        row("cooling, hot", "CR0=28", R"(qm25_power_state{state="cooling"} 1|qm25_temperature_warning 1)");
        row("all lamps failed", "CR0=81", R"(qm25_power_state{state="standby"} 1|qm25_lamp_failed 1)");
        row("power fail", "CR0=10", R"(qm25_power_state{state="fail"} 1|qm25_power_state{state="count-down"} 0)");
        row("no power reading after one", "CR0=80|CR0=8", R"(!qm25_power_state{|!qm25_lamp_failed)");
        row("video, lamp time", "CR1=3|CR3=01234", R"(qm25_input{input="video"} 1|qm25_input{input="pc1"} 0|qm25_lamp_time_seconds 4442400)");
        row("temperatures", "CR6=065.0  42.5 027.0", R"(qm25_temperature_celsius{sensor="1"} 65|qm25_temperature_celsius{sensor="2"} 42.5)");
        row("no signal", "CRA=80", "qm25_signal_present 0");
        row("muted", "CRA=03", "qm25_signal_present 1");
        row("signal not known in stand-by", "CRA=FF", "!qm25_signal_present");
        row("exchanges", "C09=ACK|C09=NAK|C09=ERR", R"(qm25_exchanges_total{outcome="ack"} 1|qm25_exchanges_total{outcome="err"} 1|qm25_exchange_duration_seconds_count 3|qm25_queue_depth 0)");
    }
    void metricsOfState()
    {
        QFETCH(QByteArrayList, exchanges);
        QFETCH(QByteArrayList, lines);
        test::FakeLine line;
        ExchangeClient client(&line);
        ExchangeQueue queue(&client);
        StateWatcher watcher(&queue, 60000);
        GatewayMetrics metrics(&queue, &watcher, 60000);
        watcher.lineOpened();
        const int other = queue.addClient("other");
        for (const QByteArray &e : exchanges) {
            const QByteArray frame = e.split('=').value(0), reply = e.split('=').value(1);
            QVERIFY(queue.enqueue(other, {{frame + '\r', 1000}}, {}));
            QVERIFY(QTest::qWaitFor([&] { return client.isBusy(); }, 5000));
            line.feed((reply == "ACK" ? "\x06" : reply == "NAK" ? "\x15" : reply) + '\r');
        }
        const QByteArray text = gateway::exposition(metrics.families());
        for (const QByteArray &l : lines)
            QVERIFY2(l.startsWith('!') ? !text.contains('\n' + l.mid(1)) : text.contains('\n' + l + '\n'), (l + '\n' + text).constData());
    }

    // Scrapes keep the watcher polling until a while after the last; they
    // read nothing themselves: ten of them, one round's first read (the
    // projector is silent).
    void scrapesKeepWatching()
    {
        test::FakeLine line;
        ExchangeClient client(&line);
        ExchangeQueue queue(&client);
        StateWatcher watcher(&queue, 60000);
        GatewayMetrics metrics(&queue, &watcher, 1000);
        watcher.lineOpened();
        for (int i = 0; i < 10; ++i) {
            QVERIFY(metrics.scrape().contains("\nqm25_line_up 1\n"));
            QTest::qWait(200);
            QVERIFY(watcher.polling());
        }
        QTRY_VERIFY(!watcher.polling());
        QCOMPARE(line.written, QByteArrayList{"CR0\r"});
    }
};

QTEST_GUILESS_MAIN(PjlinkTest)
#include "test_pjlink.moc"
