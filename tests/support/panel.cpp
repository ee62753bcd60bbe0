#include "support/panel.h"

#include <QTest>

namespace qm25::test {

void Panel::click(const char *name) const { QTest::mouseClick(w(name), Qt::LeftButton); }

std::unique_ptr<Panel> makePanel(const QString &com1, bool startUp, PortLine::DeviceFactory devices,
                                 const QString &settingsFile)
{
    qputenv("QM25_COM1", com1.toLocal8Bit());
    auto p = std::make_unique<Panel>(settingsFile);
    p->window = std::make_unique<PanelWindow>(p->devices);
    if (devices)
        p->window->line().setDeviceFactory(std::move(devices));
    Panel *raw = p.get();
    p->window->warningBox = [raw](const QString &text) { raw->warnings.append(text); };
    p->window->endProgram = [raw] { ++raw->ends; };
    if (startUp && !p->window->startUp())
        p->warnings.append(QStringLiteral("start-up: ") + p->window->startupError());
    return p;
}

}  // namespace qm25::test
