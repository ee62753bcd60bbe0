// qm25-bench-startpanel: the program's start-up, step by step as in
// src/programs/panel_main.cpp, until the window's first frame is out with
// its port open, then until what that frame left queued (the window's lower
// parts, the icon) is done. It prints one line (start_probe.h: reportShown)
// and ends. The start-up benchmark times it from just before it is spawned.
#include <QApplication>
#include <QStyleFactory>
#include <cstdio>
#include <memory>

#include "app/panel_window.h"
#include "app/start_up.h"
#include "line/remembered_devices.h"
#include "start_probe.h"

int main(int argc, char *argv[])
{
    qm25::bench::Steps steps;
    steps.mainEntered = qm25::bench::monotonicNs();
    if (const auto status = qm25::answerInfoOptions(argc, argv, qm25::RememberedDevices::defaultPath()))
        return *status;
    QApplication app(argc, argv);
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication::setApplicationName(QStringLiteral("qm25-control"));
    QApplication::setDesktopFileName(QStringLiteral("qm25-control"));

    steps.appMade = qm25::bench::monotonicNs();
    qm25::RememberedDevices remembered;
    qm25::PortDevices devices(&remembered);
    QString error;
    if (!qm25::applyPortOptions(QApplication::arguments(), devices, &error))
        return 1;
    qm25::PanelWindow form(devices);
    QObject::connect(&form, &qm25::PanelWindow::completed, &qm25::setApplicationIcon);
    steps.windowMade = qm25::bench::monotonicNs();
    if (!qm25::startPanel(form, false)) {
        std::fprintf(stderr, "qm25-bench-startpanel: %s\n", qPrintable(form.startupError()));
        return 1;
    }
    steps.loaded = qm25::bench::monotonicNs();
    form.show();
    const qm25::bench::Shown shown = qm25::bench::waitUntilPainted(&form);
    qm25::bench::reportShown(shown, form.line().isOpen(), steps);
    return 0;
}
