#pragma once
// What qm25ctl is told to do: the catalogue's commands by their names, codes
// sent as typed, and the options of its command line.
#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

#include "core/catalogue.h"

namespace qm25::ctl {

// One thing to do: a command of the catalogue, or a code sent as typed.
struct Request {
    const CommandRow *row = nullptr;  // the catalogue's row; for a typed code, the row with that code if any
    bool typed = false;               // "send CODE"
    QString typedCode;                // the code as typed

    bool isTyped() const { return typed; }
    QString name() const;       // "power on"; "send" for a typed code
    QByteArray frame() const;   // code and CR
    int timeoutMs() const;      // the reply time-out the panel gives it
};

struct Invocation {
    QString device;    // --port; empty: the device of the COM number
    int com = 1;
    int baud = 19200;
    int timeoutMs = 0;   // 0: each command's own
    int waitMs = 120000; // bound of the power on/off wait; 0: no wait
    bool json = false;
    bool help = false;
    bool version = false;
    bool list = false;
    QList<Request> requests;
};

// Reads the arguments (without the program's name). Options may stand
// anywhere; the words of a name may come as one argument or several; the
// word after "send" is the code, whatever it looks like, but for control
// characters: a frame is the code and the CR qm25ctl adds.
std::optional<Invocation> parseArguments(const QStringList &args, QString *error);

// The status buttons' reads, for "status": power, input, lamp time,
// settings, temperatures.
QList<Request> statusGroup();

extern const char kUsage[];

}  // namespace qm25::ctl
