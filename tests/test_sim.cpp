// The projector simulator: its model with time passed in, its frame
// assembler, its options, and the program serving a pseudo-terminal.
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include "core/catalogue.h"
#include "projector_model.h"
#include "sim_options.h"
#include "support/pty.h"
#include "support/sim_process.h"

using namespace qm25::sim;
using qm25::test::PtyPeer;
using qm25::test::SimProcess;

namespace {

const QByteArray ack("\x06\r"), nak("\x15\r"), err("ERR\r");
constexpr qint64 kCountDown = 3000, kCooling = 5000;

// A model that was switched on at 0 and is on at kCountDown.
struct On {
    explicit On(ModelConfig c = {}) : m(c, 0)
    {
        m.handle("C00", 0);
        m.advance(kCountDown);
    }
    QByteArray send(QByteArrayView frame) { return m.handle(frame, kCountDown).bytes; }
    ProjectorModel m;
};

}  // namespace

class SimTest : public QObject {
    Q_OBJECT
private slots:
    void powerCycle()
    {
        ProjectorModel m({}, 0);
        QCOMPARE(m.handle("CR0", 0).bytes, QByteArray("80\r"));
        QCOMPARE(m.handle("C05", 0).bytes, nak);  // nothing but power on in stand-by
        QCOMPARE(m.handle("C00", 1000).bytes, ack);
        QCOMPARE(m.handle("CR0", 1000).bytes, QByteArray("40\r"));
        QCOMPARE(m.handle("C05", 1001).bytes, nak);  // nor during the count-down
        QCOMPARE(m.nextTransitionMs().value_or(-1), 1000 + kCountDown);
        QCOMPARE(m.advance(1000 + kCountDown), QStringList{"power on"});
        QCOMPARE(m.handle("CR0", 1000 + kCountDown).bytes, QByteArray("00\r"));
        QCOMPARE(m.handle("C01", 10'000).bytes, ack);
        QCOMPARE(m.handle("CR0", 10'000).bytes, QByteArray("20\r"));
        QCOMPARE(m.handle("C00", 11'000).kind, Reply::Kind::Refused);  // not while cooling
        QCOMPARE(m.handle("CR0", 10'000 + kCooling + 50'000).bytes, QByteArray("80\r"));
        QVERIFY(m.advance(0).isEmpty());  // time running backwards is no time

        ModelConfig hot;
        hot.overheat = true;
        ProjectorModel h(hot, 0);
        h.handle("C00", 0);
        QCOMPARE(h.handle("CR0", 600'000).bytes, QByteArray("08\r"));
        h.handle("C01", 600'000);
        QCOMPARE(h.handle("CR0", 600'000).bytes, QByteArray("28\r"));
        QCOMPARE(h.handle("CR0", 600'000 + kCooling).bytes, QByteArray("88\r"));
    }

    void statusReadsFollowTheProjector()
    {
        On p;
        QCOMPARE(p.send("CR1"), QByteArray("1\r"));
        QCOMPARE(p.send("CF LOGO USER"), nak);  // nothing captured yet
        for (const auto &[code, read, reads] : {std::tuple{"C06", "CR1", "2\r"}, {"C07", "CR1", "3\r"}, {"C0B", "CRA", "02\r"},
                                                {"C0D", "CRA", "03\r"}, {"C0C", "CRA", "01\r"}, {"C0E", "CRA", "00\r"}}) {
            QCOMPARE(p.send(code), ack);
            QCOMPARE(p.send(read), QByteArray(reads));
        }
        QCOMPARE(p.send("CR7"), QByteArray("03\r"));

        ModelConfig c;
        c.lampHours = 7;
        c.lampHourMs = 1000;
        c.pressureCount = 512;
        c.orientation = Orientation::LeftRight;
        ProjectorModel m(c, 0);
        QCOMPARE(m.handle("CR3", 60'000).bytes, QByteArray("00007\r"));  // stand-by ages nothing
        QCOMPARE(m.handle("CR6", 0).bytes, QByteArray("025.0  25.0 025.0\r"));
        m.handle("C00", 60'000);
        QCOMPARE(m.handle("CR3", 65'000).bytes, QByteArray("00012\r"));
        QCOMPARE(m.handle("CR6", 600'000).bytes, QByteArray("065.0  42.0 027.0\r"));
        QCOMPARE(m.handle("CR PRESSURE", 0).bytes, QByteArray("0512\r"));
        QCOMPARE(m.handle("CR4", 0).bytes, QByteArray("01\r"));
    }

    // Every command of the catalogue is known, and answered as its kind is:
    // a status read with data, the rest with ACK or NAK.
    void everyCatalogueCodeIsKnownAndOthersAreNot()
    {
        for (const qm25::CommandRow &row : qm25::commands()) {
            const QByteArrayView code = qm25::bytes(row.code);
            ProjectorModel off({}, 0);
            On on;
            for (const Reply &r : {off.handle(code, 0), on.m.handle(code, kCountDown)}) {
                QVERIFY2(r.kind != Reply::Kind::Unknown, row.code.data());
                QVERIFY(r.kind == Reply::Kind::Status ? row.isStatusRead() : (r.bytes == ack || r.bytes == nak));
            }
        }
        for (const char *frame : {"", "C02", "C0b", "c00", "C000", "CR2", "cr0", "CR0 ", "CF LOGO", "CF FANSPEED MIN"}) {
            On p;
            const State before = p.m.state();
            QCOMPARE(p.send(frame), err);
            QVERIFY(p.m.state() == before);
        }
    }

    void framesAreCutAtCrAndBounded()
    {
        FrameAssembler any;
        QVERIFY(any.feed("CR").frames.isEmpty());
        QCOMPARE(any.feed("0\r\nC00\r\rCF LOGO\n OFF\r").frames, (QByteArrayList{"CR0", "C00", "", "CF LOGO OFF"}));
        FrameAssembler a(8);
        auto out = a.feed(QByteArray(20, 'x'));
        QCOMPARE(out.discarded, 20);
        QVERIFY(a.pending() <= 8);
        out = a.feed("yy\rCR0\r12345678\r");  // dropped up to its CR; the limit itself passes
        QCOMPARE(out.discarded, 2);
        QCOMPARE(out.frames, (QByteArrayList{"CR0", "12345678"}));
    }

    void options()
    {
        const auto parse = [](QStringList args, ServerOptions *o = nullptr) {
            ServerOptions scratch;
            QString error;
            return parseServerOptions(QStringList{"qm25-sim"} + args, o ? *o : scratch, &error);
        };
        ServerOptions o;
        QCOMPARE(parse({"--baud=9600", "--split", "3", "--signal", "1,4", "--lamp-mode", "2", "--no-reply"}, &o),
                 Parsed::Run);
        QVERIFY(o.baud == 9600 && o.splitPieces == 3 && o.model.signalInputs == 0x09 && o.noReply);
        QCOMPARE(o.model.lampMode, LampMode::SingleNo2);
        for (const QStringList &bad : {QStringList{"--bogus"}, {"--baud", "1200"}, {"--split", "0"}, {"--garbage=101"},
                                       {"--warmup-ms", "soon"}, {"--no-reply=yes"}, {"extra"}, {"--tcp", "65536"},
                                       {"--split-gap", "60001"}, {"--split", "257"}})
            QVERIFY2(parse(bad) == Parsed::Bad, qPrintable(bad.join(u' ')));
    }

    void theProgramServesItsTerminal()
    {
        QTemporaryDir dir;
        const QString link = dir.filePath("com1"), trace = dir.filePath("trace");
        SimProcess sim({"--link", link, "--trace-file", trace, "--split", "2", "--delay", "50", "--hangup-after", "4"});
        QVERIFY2(sim.ok(), qPrintable(sim.failure()));
        QCOMPARE(QFileInfo(link).symLinkTarget(), sim.devicePath());
        PtyPeer line(link);
        QVERIFY(line.write("CR"));  // half a frame waits for its CR
        QCOMPARE(line.readExactly(1, 200), QByteArray());
        QVERIFY(line.write("0\rC05\rBAD\r"));  // replies keep their order
        QCOMPARE(line.readExactly(9), QByteArray("80\r\x15\rERR\r"));
        QVERIFY(line.write("C00\r"));  // the fourth frame is answered, then the line drops
        QCOMPARE(line.readExactly(2), ack);
        QVERIFY(sim.waitForCleanExit());
        QVERIFY(!QFileInfo(link).isSymLink());
        QCOMPARE(qm25::test::tracedFrames(trace), (QStringList{"CR0<CR>", "C05<CR>", "BAD<CR>", "C00<CR>"}));
        QCOMPARE(qm25::test::tracedReplyPieces(trace).size(), 4 * 2);

        SimProcess missing({"--device", "/nonexistent/ttyS9"});
        QVERIFY(!missing.ok());
        QVERIFY2(missing.failure().contains("status 1"), qPrintable(missing.failure()));
    }
};

QTEST_GUILESS_MAIN(SimTest)
#include "test_sim.moc"
