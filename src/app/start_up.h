#pragma once
#include <QStringList>
#include <optional>

namespace qm25 {

class PanelWindow;
class PortDevices;

// --help and --version: prints and gives the exit status, before any window
// system is asked for. Nothing for any other command line. `settingsFile`
// is where remembered devices are kept, for the help.
std::optional<int> answerInfoOptions(int argc, char **argv, const QString &settingsFile);

// The rest of the command line (Qt's own options already taken out):
// --com1 and --com2 name the devices for this run. False, with the reason,
// for anything it does not know.
bool applyPortOptions(const QStringList &arguments, PortDevices &devices, QString *error);

// The program's icon for all its windows. Reading its pictures takes as long
// as building much of the window, so the panel's window gets it once its
// first frame is out (PanelWindow::completed), the device chooser before it
// asks. Only the first call reads them.
void setApplicationIcon();

// Starts the panel: opens COM1 (PanelWindow::startUp). When COM1 cannot be opened
// and there is a screen, the device chooser says why and offers another
// device, a retry or quitting, until the port opens or the operator quits.
// False when the program is to end with status 1; the form's startupError()
// says why.
bool startPanel(PanelWindow &window, bool onScreen);

}  // namespace qm25
