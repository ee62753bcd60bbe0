// The gateway's parts without sockets: the PJLink request reader, the
// mapping of requests onto the projector's commands and replies, the
// options, and the queue that shares the line among clients.
#include <QtTest>

#include "gateway/exchange_queue.h"
#include "gateway/options.h"
#include "gateway/pjlink.h"
#include "support/fake_line.h"

using namespace qm25;
using namespace qm25::gateway;
using pjlink::Input;

namespace {

// Everything the reader makes of `bytes`, fed whole or a byte at a time:
// "R:POWR 1" a request, "A:..." an answer at once, "C:..." a close.
QStringList readAll(QByteArray bytes, const QByteArray &digest, bool bytewise)
{
    pjlink::RequestReader reader(digest);
    QStringList out;
    for (qsizetype i = 0; i < bytes.size() && !reader.closed();) {
        const qsizetype n = bytewise ? 1 : bytes.size();
        reader.append(QByteArrayView(bytes).sliced(i, n));
        i += n;
        for (Input in = reader.next(); in.kind != Input::Kind::More; in = reader.next()) {
            if (in.kind == Input::Kind::Request)
                out << "R:" + in.request.command + ' ' + in.request.parameter;
            else
                out << (in.kind == Input::Kind::Answer ? "A:" : "C:") + QString::fromLatin1(in.bytes);
            if (in.kind == Input::Kind::Close)
                break;
        }
    }
    return out;
}

// An exchange's result from a short text: ACK, NAK, ERR, none, lost, or data.
ExchangeResult result(const QByteArray &text)
{
    using O = ExchangeResult::Outcome;
    ExchangeResult r;
    const std::pair<const char *, std::pair<O, const char *>> kinds[] = {
        {"ACK", {O::Ack, "\x06\r"}}, {"NAK", {O::Nak, "\x15\r"}}, {"ERR", {O::Unknown, "ERR\r"}},
        {"none", {O::NoReply, ""}},  {"lost", {O::Lost, ""}}};
    r.outcome = O::Data;
    r.reply = text + '\r';
    for (const auto &[name, kind] : kinds)
        if (text == name) {
            r.outcome = kind.first;
            r.reply = kind.second;
        }
    return r;
}

}  // namespace

class PjlinkTest : public QObject {
    Q_OBJECT
private slots:
    void reader_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("password");
        QTest::addColumn<QStringList>("read");
        const QByteArray pw = "secret";
        const QByteArray digest = pjlink::digestOf("0123abcd", pw);
        const QByteArray longest = "%1NAME " + QByteArray(128, 'x') + '\r';
        QTest::newRow("one request") << QByteArray("%1POWR ?\r") << QByteArray() << QStringList{"R:POWR ?"};
        QTest::newRow("CR LF, then another") << QByteArray("%1POWR 1\r\n%1INPT 11\r") << QByteArray()
                                             << QStringList{"R:POWR 1", "R:INPT 11"};
        QTest::newRow("one LF after a CR only") << QByteArray("%1CLSS ?\r\n\n%1CLSS ?\r") << QByteArray()
                                                << QStringList{"R:CLSS ?", "C:"};
        QTest::newRow("136 bytes") << longest << QByteArray() << QStringList{"R:NAME " + QString(128, 'x')};
        QTest::newRow("137 bytes") << "%1NAME x" + longest.mid(7) << QByteArray()
                                   << QStringList{"C:"};
        QTest::newRow("no CR within 136 bytes") << QByteArray(500, '%') << QByteArray() << QStringList{"C:"};
        QTest::newRow("unknown command") << QByteArray("%1ABCD ?\r%1powr ?\r") << QByteArray()
                                         << QStringList{"A:%1ABCD=ERR1\r", "A:%1powr=ERR1\r"};
        QTest::newRow("class 2, FREZ") << QByteArray("%2FREZ 1\r%1FREZ 1\r") << QByteArray()
                                       << QStringList{"A:%2FREZ=ERR1\r", "A:%1FREZ=ERR1\r"};
        QTest::newRow("no blank") << QByteArray("%1POWR\r%1POWR?\r") << QByteArray()
                                  << QStringList{"A:%1POWR=ERR2\r", "A:%1POWR=ERR2\r"};
        QTest::newRow("not ASCII, nothing after") << QByteArray("%1POWR \xff\r%1POWR ?\r") << QByteArray()
                                                  << QStringList{"C:"};
        QTest::newRow("no PJLink") << QByteArray("GET / HTTP/1.0\r") << QByteArray() << QStringList{"C:"};
        QTest::newRow("right password, then none needed")
            << digest + "%1POWR ?\r%1LAMP ?\r" << pw << QStringList{"R:POWR ?", "R:LAMP ?"};
        QTest::newRow("upper-case digest") << digest.toUpper() + "%1POWR ?\r" << pw << QStringList{"R:POWR ?"};
        QTest::newRow("wrong password") << pjlink::digestOf("0123abcd", "Secret") + "%1POWR ?\r" << pw
                                        << QStringList{"C:PJLINK ERRA\r"};
        QTest::newRow("no digest") << QByteArray("%1POWR ?\r") << pw << QStringList{"C:PJLINK ERRA\r"};
    }
    void reader()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, password);
        QFETCH(QStringList, read);
        const QByteArray digest = password.isEmpty() ? QByteArray() : pjlink::digestOf("0123abcd", password);
        QCOMPARE(readAll(bytes, digest, false), read);
        QCOMPARE(readAll(bytes, digest, true), read);
    }

    void mapping_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QStringList>("commands");  // the catalogue's names, in order
        QTest::addColumn<QByteArrayList>("replies");
        QTest::addColumn<QByteArray>("answer");
        const auto row = [](const char *request, QStringList commands, QByteArrayList replies, const char *answer) {
            QTest::addRow("%s %s", request, replies.join(',').constData())
                << QByteArray(request) << commands << replies << QByteArray(answer);
        };
        row("POWR 1", {"power on"}, {"ACK"}, "OK");
        row("POWR 1", {"power on"}, {"NAK"}, "ERR3");
        row("POWR 1", {"power on"}, {"ERR"}, "ERR4");
        row("POWR 1", {"power on"}, {"none"}, "ERR4");
        row("POWR 1", {"power on"}, {"lost"}, "ERR4");
        row("POWR 1", {"power on"}, {"80"}, "ERR4");
        row("POWR 0", {"power off"}, {"ACK"}, "OK");
        row("POWR 2", {}, {}, "ERR2");
        for (const auto &[reply, state] : {std::pair{"80", "0"}, {"00", "1"}, {"20", "2"}, {"40", "3"}, {"88", "0"},
                                           {"24", "2"}, {"10", "ERR4"}, {"x", "ERR4"}})
            row("POWR ?", {"power"}, {reply}, state);
        row("POWR ?", {"power"}, {"ACK"}, "ERR4");
        row("INPT 11", {"input pc1"}, {"ACK"}, "OK");
        row("INPT 12", {"input pc2"}, {"NAK"}, "ERR3");
        row("INPT 21", {"input video"}, {"ACK"}, "OK");
        for (const char *absent : {"INPT 22", "INPT 31", "INPT 60", "INPT 1", "INPT ", "INPT 111"})
            row(absent, {}, {}, "ERR2");
        for (const auto &[reply, input] : {std::pair{"1", "11"}, {"2", "12"}, {"3", "21"}, {"4", "ERR3"}})
            row("INPT ?", {"input"}, {reply}, input);
        row("INST ?", {}, {}, "11 12 21");
        row("INST 1", {}, {}, "ERR2");
        row("AVMT 10", {"noshow off"}, {"ACK"}, "OK");
        row("AVMT 11", {"noshow on"}, {"ACK"}, "OK");
        row("AVMT 20", {"mute off"}, {"ACK"}, "OK");
        row("AVMT 21", {"mute on"}, {"ACK"}, "OK");
        row("AVMT 30", {"noshow off", "mute off"}, {"ACK", "ACK"}, "OK");
        row("AVMT 31", {"noshow on", "mute on"}, {"NAK"}, "ERR3");
        row("AVMT 31", {"noshow on", "mute on"}, {"ACK", "none"}, "ERR4");
        row("AVMT 40", {}, {}, "ERR2");
        for (const auto &[reply, mute] : {std::pair{"00", "30"}, {"01", "11"}, {"02", "21"}, {"03", "31"}, {"80", "ERR3"},
                                          {"FF", "ERR3"}})
            row("AVMT ?", {"mute"}, {reply}, mute);
        for (const auto &[reply, errors] : {std::pair{"00", "000000"}, {"08", "001000"}, {"28", "001000"},
                                            {"10", "020000"}, {"21", "020000"}, {"81", "020000"}, {"04", "000000"}})
            row("ERST ?", {"power"}, {reply}, errors);
        row("LAMP ?", {"lamp time", "power"}, {"01234", "00"}, "1234 1");
        row("LAMP ?", {"lamp time", "power"}, {"00000", "80"}, "0 0");
        row("LAMP ?", {"lamp time", "power"}, {"00012", "40"}, "12 1");
        row("LAMP ?", {"lamp time", "power"}, {"01234", "none"}, "ERR4");
        row("LAMP ?", {"lamp time", "power"}, {"12a"}, "ERR4");
        row("INFO ?", {"identification"}, {"QM25 SIM 1.40"}, "QM25 SIM 1.40");
        row("INFO ?", {"identification"}, {QByteArray(40, 'I') + "\x01"}, QByteArray(32, 'I').constData());
        row("NAME ?", {}, {}, "Room 101");
        row("INF1 ?", {}, {}, "RUNO");
        row("INF2 ?", {}, {}, "QM25");
        row("CLSS ?", {}, {}, "1");
        row("CLSS 1", {}, {}, "ERR2");
        row("SVOL 1", {}, {}, "ERR1");
    }
    void mapping()
    {
        QFETCH(QByteArray, request);
        QFETCH(QStringList, commands);
        QFETCH(QByteArrayList, replies);
        QFETCH(QByteArray, answer);
        const pjlink::Request r{'1', request.left(4), request.mid(5)};
        const pjlink::Plan plan = pjlink::planFor(r, {"Room 101"});
        QStringList planned;
        for (const CommandRow *row : plan.steps)
            planned << QString::fromLatin1(row->name.data(), qsizetype(row->name.size()));
        QCOMPARE(planned, commands);
        std::vector<ExchangeResult> results;
        for (const QByteArray &reply : replies)
            results.push_back(result(reply));
        const QByteArray expected = "%1" + r.command + '=' + answer + '\r';
        QCOMPARE(plan.steps.empty() ? plan.answer : pjlink::answerFor(r, results), expected);
    }

    void options_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("pjlink");  // where it listens, or the start of the error
        QTest::addColumn<QString>("raw");
        QTest::newRow("defaults") << QStringList{} << "127.0.0.1:4352" << "";
        QTest::newRow("password: every address") << QStringList{"--password-file", "f", "--raw", "4001"}
                                                 << "0.0.0.0:4352" << "127.0.0.1:4001";
        QTest::newRow("no password, open address") << QStringList{"--pjlink", "0.0.0.0:4352"}
                                                   << "--pjlink 0.0.0.0:4352 is beyond loopback" << "";
        QTest::newRow("said so") << QStringList{"--no-password", "--pjlink=[::]:1"} << "[::]:1" << "";
        QTest::newRow("raw beyond loopback") << QStringList{"--password-file", "f", "--raw", "192.0.2.1:4001"}
                                             << "--raw 192.0.2.1:4001 is beyond loopback" << "";
        QTest::newRow("raw, said so") << QStringList{"--no-password", "--raw", "[::1]:7"} << "0.0.0.0:4352"
                                      << "[::1]:7";
        QTest::newRow("password as an option") << QStringList{"--password", "x"} << "unknown option" << "";
        QTest::newRow("speed") << QStringList{"--baud", "4800"} << "--baud wants" << "";
        QTest::newRow("port number") << QStringList{"--pjlink", "65536"} << "--pjlink: \"65536\"" << "";
        QTest::newRow("long name") << QStringList{"--name", QString(65, 'n')} << "--name wants" << "";
    }
    void options()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, pjlink);
        QFETCH(QString, raw);
        QString error;
        const auto o = parseOptions(QStringList{"qm25d"} + args, &error);
        QCOMPARE(o ? o->pjlink.text() : error.left(pjlink.size()), pjlink);
        QCOMPARE(o && o->raw ? o->raw->text() : QString(), raw);
    }

    void passwordFile()
    {
        QTemporaryDir dir;
        const auto read = [&](const QByteArray &content) {
            QFile f(dir.filePath("pw"));
            f.open(QIODevice::WriteOnly | QIODevice::Truncate);
            f.write(content);
            f.close();
            f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
            QString error, warning;
            return readPasswordFile(f.fileName(), &error, &warning).value_or("(refused)");
        };
        QCOMPARE(read("s3cret\r\nignored"), QByteArray("s3cret"));
        QCOMPARE(read(QByteArray(32, 'p')), QByteArray(32, 'p'));
        for (const QByteArray &bad : {QByteArray(), QByteArray("\n"), QByteArray("two words"), QByteArray(33, 'p')})
            QCOMPARE(read(bad), QByteArray("(refused)"));
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
        const auto reply = [&](const QByteArray &bytes) {
            onTheLine();
            line.feed(bytes);
        };
        const int a = queue.addClient("a"), b = queue.addClient("b"), c = queue.addClient("c");
        QVERIFY(job(a, {"C05"}, "a1") && job(a, {"C0D", "C0B"}, "a2") && job(a, {"C06"}, "a3"));
        QVERIFY(job(b, {"CR0"}, "b1") && job(c, {"CR0"}, "c1"));
        reply("\x06\r");  // a1
        onTheLine();      // b1's read
        QVERIFY(job(c, {"CR0"}, "c2"));  // too late to share b1's read
        line.feed("80\r");  // b1, and c1 with it
        reply("00\r");    // c2
        reply("\x15\r");  // a2 refused: its second step does not run
        reply("\x06\r");  // a3
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
};

QTEST_GUILESS_MAIN(PjlinkTest)
#include "test_pjlink.moc"
