// qm25-control: the control panel.
#include <QApplication>
#include <QIcon>
#include <QStyleFactory>
#include <cstdio>

#include "app/form1.h"
#include "app/start_up.h"

int main(int argc, char *argv[])
{
    if (const auto status = qm25::answerInfoOptions(argc, argv))
        return *status;
    QApplication app(argc, argv);
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication::setApplicationName(QStringLiteral("qm25-control"));
    QApplication::setDesktopFileName(QStringLiteral("qm25-control"));
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/qm25-control-64.png"));
    icon.addFile(QStringLiteral(":/icons/qm25-control-256.png"));
    QApplication::setWindowIcon(icon);

    QString error;
    if (!qm25::applyPortOptions(QApplication::arguments(), &error)) {
        std::fprintf(stderr, "qm25-control: %s\n", qPrintable(error));
        return 1;
    }
    qm25::Form1 form;
    const QString platform = QGuiApplication::platformName();
    const bool onScreen = platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
    if (!qm25::startPanel(form, onScreen)) {
        std::fprintf(stderr, "qm25-control: %s\n", qPrintable(form.startupError()));
        return 1;
    }
    form.show();
    return app.exec();
}
