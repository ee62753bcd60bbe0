// qm25-control: the control panel.
#include <QApplication>
#include <QStyleFactory>
#include <cstdio>

#include "app/panel_window.h"
#include "app/start_up.h"
#include "line/remembered_devices.h"

int main(int argc, char *argv[])
{
    if (const auto status = qm25::answerInfoOptions(argc, argv, qm25::RememberedDevices::defaultPath()))
        return *status;
    QApplication app(argc, argv);
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication::setApplicationName(QStringLiteral("qm25-control"));
    QApplication::setDesktopFileName(QStringLiteral("qm25-control"));

    qm25::RememberedDevices remembered;
    qm25::PortDevices devices(&remembered);
    QString error;
    if (!qm25::applyPortOptions(QApplication::arguments(), devices, &error)) {
        std::fprintf(stderr, "qm25-control: %s\n", qPrintable(error));
        return 1;
    }
    qm25::PanelWindow window(devices);
    QObject::connect(&window, &qm25::PanelWindow::completed, &qm25::setApplicationIcon);
    const QString platform = QGuiApplication::platformName();
    const bool onScreen = platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
    if (!qm25::startPanel(window, onScreen)) {
        std::fprintf(stderr, "qm25-control: %s\n", qPrintable(window.startupError()));
        return 1;
    }
    window.show();
    return app.exec();
}
