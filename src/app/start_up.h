#pragma once
#include <QStringList>
#include <optional>

namespace qm25 {

class Form1;

// --help and --version: prints and gives the exit status, before any window
// system is asked for. Nothing for any other command line.
std::optional<int> answerInfoOptions(int argc, char **argv);

// The rest of the command line (Qt's own options already taken out):
// --com1 and --com2 name the devices for this run. False, with the reason,
// for anything it does not know.
bool applyPortOptions(const QStringList &arguments, QString *error);

// Starts the panel: opens COM1 (Form1::startUp). When COM1 cannot be opened
// and there is a screen, the device chooser says why and offers another
// device, a retry or quitting, until the port opens or the operator quits.
// False when the program is to end with status 1; the form's startupError()
// says why.
bool startPanel(Form1 &form, bool onScreen);

}  // namespace qm25
