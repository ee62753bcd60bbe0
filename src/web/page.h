#pragma once
// The web panel's page: its groups of buttons, each pointing at its row of
// the catalogue, with the panel's captions and colour groups, put into the
// page's template when the server starts; and the files it is served with.
#include <QByteArray>
#include <QString>
#include <optional>

namespace qm25::web {

struct PageFile {
    QByteArray contentType;
    QByteArray body;
};

// The file served at `path` ("/", "/panel.css", "/panel.js"; the whole
// panel's "/panel", "/whole.css", "/whole.js", "/image1.bmp"), or nothing.
std::optional<PageFile> pageFile(const QString &path);

// The buttons' markup alone, as it goes into the page.
QByteArray controlsMarkup();

}  // namespace qm25::web
