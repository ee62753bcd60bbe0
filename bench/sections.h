#pragma once
// The parts of qm25-bench. Each runs one group of measurements, adds its
// lines to the table and returns its figures for the JSON file.
#include <QJsonObject>
#include <QString>
#include <optional>
#include <vector>

namespace qm25::bench {

struct Options {
    bool quick = false;       // fewer samples, for a smoke run
    int loadSeconds = 60;     // length of each streaming run
    int startupRuns = 15;     // start-ups of each kind
};

// One line of the printed table.
struct Row {
    QString part;
    QString what;
    QString figure;
    QString target;            // empty: no target, figure for information
    std::optional<bool> holds; // whether the target holds
};

class Report {
public:
    void add(QString part, QString what, QString figure, QString target = {}, std::optional<bool> holds = {})
    {
        rows_.push_back({std::move(part), std::move(what), std::move(figure), std::move(target), holds});
    }
    const std::vector<Row> &rows() const { return rows_; }
    void print() const;
private:
    std::vector<Row> rows_;
};

QString fmt(double value, int decimals = 3);

QJsonObject runPure(const Options &o, Report &r);
// The three measurements on the window in this process.
QJsonObject runClickToWire(const Options &o, Report &r);
QJsonObject runReplyToDisplay(const Options &o, Report &r);
QJsonObject runRepeat(const Options &o, Report &r);
// The same over loopback TCP, as through a serial device server.
QJsonObject runRepeatTcp(const Options &o, Report &r);
QJsonObject runStartup(const Options &o, Report &r);
QJsonObject runLoad(const Options &o, Report &r);
// Held buttons through qm25d's whole panel session against the window's own.
QJsonObject runHeld(const Options &o, Report &r);
// qm25ctl: a status read from process start to exit.
QJsonObject runCtl(const Options &o, Report &r);

}  // namespace qm25::bench
