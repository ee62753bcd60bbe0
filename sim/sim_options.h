#pragma once
// The command line of qm25-sim.
#include <QString>
#include <QStringList>

#include "sim_server.h"

namespace qm25::sim {

extern const char kSimUsage[];

enum class Parsed { Run, Help, Version, Bad };

// Reads the arguments (the program's name first) into the options; accepts
// "--name value" and "--name=value". On Bad, *error says what is wrong.
Parsed parseServerOptions(const QStringList &args, ServerOptions &options, QString *error);

}  // namespace qm25::sim
