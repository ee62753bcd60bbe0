#include "app/start_up.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>
#include <cstdio>
#include <utility>

#include "app/panel_window.h"
#include "line/port_devices.h"

namespace qm25 {
namespace {

void describe(QCommandLineParser &parser, const QString &settingsFile)
{
    parser.setApplicationDescription(
        QStringLiteral("Control panel for the RUNO QM25 projector over its RS-232C line.\n\n"
                       "The device behind COM1 (COM2): --com1 (--com2), else QM25_COM1 (QM25_COM2) in the\n"
                       "environment, else the device remembered in the device chooser (right-click COM1\n"
                       "or COM2 under COM), else %1 (%2).\nRemembered devices are kept in %3.")
            .arg(defaultPortDevice(1), defaultPortDevice(2), settingsFile));
    // Single-dash words are Qt's own options (-platform, -style), not
    // bundles of letters.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOption({{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Displays this help.")});
    parser.addVersionOption();
    parser.addOption({QStringLiteral("com1"),
                      QStringLiteral("The device behind COM1, e.g. /dev/ttyUSB0, or a serial device server as "
                                     "tcp://HOST:PORT."),
                      QStringLiteral("DEVICE")});
    parser.addOption({QStringLiteral("com2"), QStringLiteral("The device behind COM2."), QStringLiteral("DEVICE")});
}

}  // namespace

std::optional<int> answerInfoOptions(int argc, char **argv, const QString &settingsFile)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    QCommandLineParser parser;
    describe(parser, settingsFile);
    // Options this parser does not know may be Qt's own: they are judged
    // once the application has taken those out.
    (void)parser.parse(arguments);
    const bool help = parser.isSet(QStringLiteral("help"));
    if (!help && !parser.isSet(QStringLiteral("version")))
        return std::nullopt;
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("qm25-control"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QM25_VERSION));
    const QString text = help ? parser.helpText()
                              : QStringLiteral("qm25-control %1\n").arg(QCoreApplication::applicationVersion());
    std::fputs(qPrintable(text), stdout);
    return 0;
}

bool applyPortOptions(const QStringList &arguments, PortDevices &devices, QString *error)
{
    QCommandLineParser parser;
    describe(parser, {});
    if (!parser.parse(arguments)) {
        *error = parser.errorText() + QStringLiteral(" (see --help)");
        return false;
    }
    if (!parser.positionalArguments().isEmpty()) {
        *error = QStringLiteral("Unexpected argument '%1' (see --help)").arg(parser.positionalArguments().first());
        return false;
    }
    for (int port : {1, 2})
        if (const QString name = QStringLiteral("com%1").arg(port); parser.isSet(name))
            devices.nameForRun(port, parser.value(name));
    return true;
}

void setApplicationIcon()
{
    static bool set = false;
    if (std::exchange(set, true))
        return;
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/qm25-control-64.png"));
    icon.addFile(QStringLiteral(":/icons/qm25-control-256.png"));
    QApplication::setWindowIcon(icon);
}

bool startPanel(PanelWindow &window, bool onScreen)
{
    std::optional<DeviceChoice> chosen;
    while (!window.startUp()) {
        // Nobody could answer a dialog on a platform without a screen.
        if (!onScreen)
            return false;
        setApplicationIcon();
        chosen = window.askDevice(1, window.startupError());
        if (!chosen)
            return false;
        if (!chosen->device.isEmpty())
            window.devices().nameForRun(1, chosen->device);
    }
    // Remembered only once it opened.
    if (chosen && chosen->remember)
        window.keepDevice(1, chosen->device);
    return true;
}

}  // namespace qm25
