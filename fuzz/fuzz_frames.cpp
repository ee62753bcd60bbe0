// Fuzz target: the simulator's frame assembler, and the projector model on
// the frames it cuts.
//
// Input: one byte for the line limit (1 to 256), then pieces, each a length
// byte and that many bytes of the stream (the last piece takes what is left).
// Every piece is one feed, as the bytes of one read from the line.
//
// Checked after every feed: the pending buffer stays within the limit, no
// frame holds CR or LF or is longer than the limit, and the bytes are
// accounted for. At the end the frames and the discarded count are compared
// with the whole stream cut at once, without pieces: where a read ends must
// not matter. Each frame is also handed to the projector model, whose reply
// must end with CR.
#include <QByteArray>
#include <QList>
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "fuzz_fail.h"
#include "projector_model.h"

using qm25::sim::FrameAssembler;

namespace {

struct Cut {
    QList<QByteArray> frames;
    qsizetype discarded = 0;
    qsizetype pending = 0;
};

// The whole stream at once: without LF, split at every CR; a line longer
// than the limit is dropped with its CR, and the unfinished last line is
// pending while it fits the limit and dropped so far when it does not.
Cut cutAtOnce(const QByteArray &stream, qsizetype limit)
{
    QByteArray text = stream;
    text.replace('\n', QByteArray());
    const QList<QByteArray> lines = text.split('\r');
    Cut cut;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QByteArray &line = lines[i];
        const bool last = i == lines.size() - 1;
        if (line.size() > limit)
            cut.discarded += line.size();
        else if (last)
            cut.pending = line.size();
        else
            cut.frames.append(line);
    }
    return cut;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const qsizetype limit = qsizetype(data[0]) + 1;
    const char *bytes = reinterpret_cast<const char *>(data + 1);
    const qsizetype total = qsizetype(size) - 1;

    FrameAssembler assembler(limit);
    qm25::sim::ProjectorModel model;
    qint64 nowMs = 0;

    QByteArray stream;
    QList<QByteArray> frames;
    qsizetype discarded = 0;
    qsizetype at = 0;
    while (at < total) {
        const qsizetype want = quint8(bytes[at++]);
        const qsizetype n = std::min(want, total - at);
        const QByteArray piece(bytes + at, n);
        at += n;
        stream += piece;

        const qsizetype pendingBefore = assembler.pending();
        const FrameAssembler::Output out = assembler.feed(piece);

        if (assembler.pending() > limit)
            fail("the pending buffer grew beyond its limit");
        qsizetype inFrames = 0;
        for (const QByteArray &frame : out.frames) {
            if (frame.contains('\r') || frame.contains('\n'))
                fail("a frame holds CR or LF");
            if (frame.size() > limit)
                fail("a frame is longer than the limit");
            inFrames += frame.size();
        }
        // Every byte that is neither CR nor LF ends up in a frame, is
        // discarded, or waits.
        const qsizetype text = piece.size() - piece.count('\r') - piece.count('\n');
        if (text != inFrames + out.discarded + assembler.pending() - pendingBefore)
            fail("bytes of a feed are not accounted for");
        if (out.discarded < 0)
            fail("a negative discarded count");

        for (const QByteArray &frame : out.frames) {
            nowMs += 250;
            const qm25::sim::Reply reply = model.handle(frame, nowMs);
            if (reply.bytes.isEmpty() || !reply.bytes.endsWith('\r'))
                fail("a reply of the model does not end with CR");
        }
        frames += out.frames;
        discarded += out.discarded;
    }

    const Cut whole = cutAtOnce(stream, limit);
    if (whole.frames != frames)
        fail("the frames depend on how the stream was cut into reads");
    if (whole.discarded != discarded || whole.pending != assembler.pending())
        fail("the discarded or pending bytes depend on how the stream was cut into reads");
    return 0;
}
