// qm25-bench-startbare: the yardstick for the start-up benchmark. A bare Qt
// window of the panel's size with as many plain push buttons as the panel
// has (67), shown the same way and reported in the same format as
// qm25-bench-startpanel (the port field is always 0).
#include <QApplication>
#include <QPushButton>
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

    steps.appMade = qm25::bench::monotonicNs();
    QWidget window;
    window.setWindowTitle(QStringLiteral("bare"));
    window.setFixedSize(633, 357);  // the panel's client area after start-up
    constexpr int kButtons = 67;
    for (int i = 0; i < kButtons; ++i) {
        auto *b = new QPushButton(QStringLiteral("B%1").arg(i + 1), &window);
        b->setGeometry(4 + (i % 10) * 62, 4 + (i / 10) * 50, 58, 20);
    }
    steps.windowMade = steps.loaded = qm25::bench::monotonicNs();
    window.show();
    const std::int64_t shown = qm25::bench::waitUntilPainted(&window);
    qm25::bench::reportShown(shown, false, steps);
    return 0;
}
