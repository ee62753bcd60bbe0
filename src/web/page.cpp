#include "web/page.h"

#include <QFile>
#include <QMap>

#include "core/catalogue.h"

namespace qm25::web {
namespace {

// The panel's colour groups, as the page's style sheet names them.
enum class Colour { On, Off, Choice, Volume };

struct Button {
    const char *caption;
    const CommandRow *command;
    Colour colour;
};

struct Group {
    const char *title;  // as on the panel
    const char *id;
    std::initializer_list<Button> buttons;
};

// In the page's order, which is also the order of the keyboard's focus.
const Group kGroups[] = {
    {"POWER", "power", {{"ON", &command("power on"), Colour::On}, {"OFF", &command("power off"), Colour::Off}}},
    {"INPUT MODE SET", "input",
     {{"PC1", &command("input pc1"), Colour::Choice},
      {"PC2", &command("input pc2"), Colour::Choice},
      {"Video", &command("input video"), Colour::Choice}}},
    {"SOUND MUTE", "mute", {{"ON", &command("mute on"), Colour::On}, {"OFF", &command("mute off"), Colour::Off}}},
    {"NO SHOW", "noshow", {{"ON", &command("noshow on"), Colour::On}, {"OFF", &command("noshow off"), Colour::Off}}},
    {"FREEZE", "freeze", {{"ON", &command("freeze on"), Colour::On}, {"OFF", &command("freeze off"), Colour::Off}}},
    {"VOL", "volume",
     {{"+", &command("volume up"), Colour::Volume}, {"-", &command("volume down"), Colour::Volume}}},
    {"IMAGE MODE", "image",
     {{"STAND", &command("image stand"), Colour::Choice},
      {"REAL", &command("image real"), Colour::Choice},
      {"CINEMA", &command("image cinema"), Colour::Choice},
      {"IMAGE1", &command("image 1"), Colour::Choice},
      {"IMAGE2", &command("image 2"), Colour::Choice},
      {"IMAGE3", &command("image 3"), Colour::Choice},
      {"IMAGE4", &command("image 4"), Colour::Choice},
      {"B.Board", &command("image bboard"), Colour::Choice},
      {"Dynamic", &command("image dynamic"), Colour::Choice}}},
};

const char *className(Colour c)
{
    switch (c) {
    case Colour::On: return "on";
    case Colour::Off: return "off";
    case Colour::Choice: return "choice";
    case Colour::Volume: return "volume";
    }
    return "";
}


QByteArray escaped(const QByteArray &text) { return QString::fromUtf8(text).toHtmlEscaped().toUtf8(); }

QByteArray resource(const QString &name)
{
    QFile f(QStringLiteral(":/web/") + name);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

}  // namespace

QByteArray controlsMarkup()
{
    QByteArray out;
    for (const Group &g : kGroups) {
        out += "<section class=\"group\" id=\"" + QByteArray(g.id) + "\" aria-labelledby=\"" + g.id
               + "-title\">\n  <h2 id=\"" + g.id + "-title\">" + escaped(g.title) + "</h2>\n  <div class=\"buttons\">";
        for (const Button &b : g.buttons) {
            // A held button repeats with its own period, as on the panel.
            const int repeatMs = b.command->repeat == Repeat::Adjuster ? b.command->held.repeatPeriodMs : 0;
            out += "\n    <button type=\"button\" class=\"" + QByteArray(className(b.colour)) + "\" data-command=\""
                   + escaped(bytes(b.command->name).toByteArray()) + "\" aria-label=\"" + escaped(bytes(b.command->description).toByteArray())
                   + "\"" + (repeatMs ? " data-repeat-ms=\"" + QByteArray::number(repeatMs) + '"' : QByteArray()) + ">"
                   + escaped(b.caption) + "</button>";
        }
        out += "\n  </div>\n</section>\n";
    }
    return out;
}

std::optional<PageFile> pageFile(const QString &path)
{
    // Made once: the files are compiled in and do not change.
    static const QMap<QString, PageFile> files{
        {QStringLiteral("/"),
         {"text/html; charset=utf-8", resource(QStringLiteral("index.html")).replace("<!-- controls -->", controlsMarkup())}},
        {QStringLiteral("/panel.css"), {"text/css; charset=utf-8", resource(QStringLiteral("panel.css"))}},
        {QStringLiteral("/panel.js"), {"text/javascript; charset=utf-8", resource(QStringLiteral("panel.js"))}},
        // The whole panel, drawn from GET /api/layout.
        {QStringLiteral("/panel"), {"text/html; charset=utf-8", resource(QStringLiteral("whole.html"))}},
        {QStringLiteral("/whole.css"), {"text/css; charset=utf-8", resource(QStringLiteral("whole.css"))}},
        {QStringLiteral("/whole.js"), {"text/javascript; charset=utf-8", resource(QStringLiteral("whole.js"))}},
        {QStringLiteral("/image1.bmp"), {"image/bmp", resource(QStringLiteral("image1.bmp"))}},
    };
    const auto it = files.find(path);
    if (it == files.end())
        return std::nullopt;
    return *it;
}

}  // namespace qm25::web
