#pragma once
// What qm25ctl can be told to do: the panel's commands by their names, and
// the reading of its command line.
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

namespace qm25::ctl {

enum class Kind {
    Action,  // succeeds with ACK
    Read,    // a status read: succeeds with data
};

struct Command {
    QString name;    // "power on"; "send" for a typed code
    QString code;    // the frame without its CR
    Kind kind = Kind::Action;
    int timeoutMs = 500;   // reply time-out unless --timeout says otherwise
    // Power on and off wait until the power status reads on ('0') or
    // stand-by ('8'); 0 for every other command.
    char waitFor = 0;
};

// Every named command: the panel's click buttons, its held buttons and the
// status reads its command line types, in that order.
const QList<Command> &catalogue();
std::optional<Command> commandNamed(const QString &name);
// A code sent as typed, like the panel's command line.
Command typedCommand(const QString &code);
// The status buttons' reads, for "status".
QList<Command> statusGroup();

struct Invocation {
    QString device;    // --port; empty: COM number
    int com = 1;
    int baud = 19200;
    int timeoutMs = 0;   // 0: each command's own
    int waitMs = 120000; // bound of the power on/off wait; 0: no wait
    bool json = false;
    bool help = false;
    bool list = false;
    QList<Command> commands;
};

// Reads the arguments (without the program's name). Options may stand
// anywhere; the word after "send" is the code, whatever it looks like.
std::optional<Invocation> parseArguments(const QStringList &args, QString *error);

extern const char kUsage[];

}  // namespace qm25::ctl
