// qm25-bench-startbare: the yardstick for the start-up benchmark. A bare Qt
// window of the panel's start-up size with what the panel's window holds, in
// plain Qt: as many plain push buttons as the panel has controls (given as
// the one argument; 67 without it), three labels for the display lines, and
// its serial port (QM25_COM1) opened at 19200 baud. Shown the same way and
// reported in the same format as qm25-bench-startpanel.
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QSerialPort>
#include <QStyleFactory>
#include <QWidget>

#include "start_probe.h"

int main(int argc, char *argv[])
{
    qm25::bench::Steps steps;
    steps.mainEntered = qm25::bench::monotonicNs();
    QApplication app(argc, argv);
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication::setApplicationName(QStringLiteral("qm25-bench-startbare"));
    const int buttons = argc > 1 ? std::max(1, QString::fromLocal8Bit(argv[1]).toInt()) : 67;

    steps.appMade = qm25::bench::monotonicNs();
    QWidget window;
    window.setWindowTitle(QStringLiteral("bare"));
    window.setFixedSize(633, 357);  // the panel's client area after start-up
    // Ten to a row; as in the panel, what lies below the start-up height is
    // built but cut off.
    for (int i = 0; i < buttons; ++i) {
        auto *b = new QPushButton(QStringLiteral("B%1").arg(i + 1), &window);
        b->setGeometry(4 + (i % 10) * 62, 4 + (i / 10) * 50, 58, 20);
    }
    int row = 0;
    for (const char *text : {"TXD", "RXD", "STATUS"}) {
        auto *l = new QLabel(QString::fromLatin1(text), &window);
        l->setGeometry(4, 28 + 50 * row++, 600, 20);
    }
    steps.windowMade = qm25::bench::monotonicNs();
    QSerialPort port(qEnvironmentVariable("QM25_COM1"));
    port.setBaudRate(QSerialPort::Baud19200);
    const bool open = port.open(QIODevice::ReadWrite);
    steps.loaded = qm25::bench::monotonicNs();
    window.show();
    const qm25::bench::Shown shown = qm25::bench::waitUntilPainted(&window);
    qm25::bench::reportShown(shown, open, steps);
    return 0;
}
