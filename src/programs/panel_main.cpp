// qm25-control: the control panel.
#include <QApplication>
#include <QIcon>
#include <QMessageBox>
#include <QStyleFactory>
#include <cstdio>

#include "app/form1.h"

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication::setApplicationName(QStringLiteral("qm25-control"));
    QApplication::setDesktopFileName(QStringLiteral("qm25-control"));
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/qm25-control-64.png"));
    icon.addFile(QStringLiteral(":/icons/qm25-control-256.png"));
    QApplication::setWindowIcon(icon);

    qm25::Form1 form;
    if (!form.startUp()) {
        const QString text = form.startupError();
        std::fprintf(stderr, "qm25-control: %s\n", qPrintable(text));
        // Nobody could dismiss a box on a platform without a screen.
        const QString platform = QGuiApplication::platformName();
        if (platform != QLatin1String("offscreen") && platform != QLatin1String("minimal"))
            QMessageBox::critical(nullptr, qm25::Form1::title(), text);
        return 1;
    }
    form.show();
    return app.exec();
}
