#pragma once
// The serving side of qm25-sim: owns the line (a pseudo-terminal, a serial
// device, or a TCP connection as a device server gives), cuts what arrives
// into frames, lets the projector model answer
// them and writes the replies back, with the faults asked for on the command
// line.
#include "projector_model.h"

#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QRandomGenerator>
#include <QString>
#include <QTimer>
#include <deque>
#include <optional>

class QSocketNotifier;

namespace qm25::sim {

struct ServerOptions {
    QString device;            // serve on this serial device; empty: create a pseudo-terminal
    int baud = 19200;
    QString link;              // symlink to keep pointing at the line served
    QString tcpHost;           // address to listen on for TCP ...
    int tcpPort = -1;          // ... on this port (0: any free one); -1: no TCP
    bool noReply = false;
    int delayMs = 0;           // before a reply starts
    int splitPieces = 1;       // a reply goes out in this many writes
    int splitGapMs = 0;        // between the pieces of a reply
    int garbagePercent = 0;    // chance per reply of one random byte slipped into it
    std::optional<quint32> seed;
    int hangupAfter = 0;       // drop the line after this many frames; 0: never
    bool traceToStderr = false;
    QString traceFile;
    ModelConfig model;
};

class SimServer : public QObject {
    Q_OBJECT
public:
    explicit SimServer(ServerOptions options, QObject *parent = nullptr);
    ~SimServer() override;

    // Opens the line. On failure returns false and sets *error.
    bool start(QString *error);
    // The path of the line served: the pty slave or the device; serving TCP,
    // tcp://HOST:PORT as a panel names it.
    QString linePath() const { return linePath_; }

signals:
    void hungUp();                      // the line was dropped as asked (--hangup-after)
    void failed(const QString &error);  // the line broke

private:
    bool openPseudoTerminal(QString *error);
    bool openDevice(QString *error);
    bool listenTcp(QString *error);
    void onClient();
    void watchLine();
    bool makeLink(QString *error);
    void removeLink();
    void closeLine();

    void onReadable();
    void onWritable();
    void onFrame(const QByteArray &frame);
    void queueReply(QByteArray bytes);
    void sendDue();
    void writeOut();
    void checkHangup();
    void onPowerTimer();
    void armPowerTimer();

    qint64 now() const { return clock_.elapsed(); }
    void trace(const QString &text);

    ServerOptions options_;
    ProjectorModel model_;
    FrameAssembler assembler_;
    QElapsedTimer clock_;
    QRandomGenerator random_;

    int fd_ = -1;             // the line: pty master or device
    int heldSlave_ = -1;      // our own pty slave handle, so closing the panel's side is no hang-up
    int listenFd_ = -1;       // serving TCP: the listening socket; fd_ is the client's connection
    QString client_;          // the client's address and port
    QSocketNotifier *listenNotifier_ = nullptr;
    QString linePath_;
    bool linkMade_ = false;
    QSocketNotifier *readNotifier_ = nullptr;
    QSocketNotifier *writeNotifier_ = nullptr;

    struct Piece {
        qint64 dueMs;
        QByteArray bytes;
    };
    std::deque<Piece> queue_;  // pieces not yet due, in order of their due time
    qint64 lastDueMs_ = 0;
    QByteArray outBuffer_;     // due bytes the line has not taken yet
    QTimer sendTimer_;
    QTimer powerTimer_;

    int frames_ = 0;
    bool hangupPending_ = false;    // the last frame before the hang-up has come
    bool hangupScheduled_ = false;

    QFile traceFile_;
};

// Control characters spelled out in angle brackets, e.g. "CR0<CR>", "<ACK><CR>".
QString spellOut(QByteArrayView bytes);

}  // namespace qm25::sim
