#pragma once
#include <QStringList>
#include <memory>

#include "app/panel_window.h"
#include "line/remembered_devices.h"

namespace qm25::test {

// The real window with COM1 on `com1` (through QM25_COM1), its devices
// remembered in the settings file the test's configuration folder holds,
// its warning box and the end of the program recorded instead of shown.
struct Panel {
    explicit Panel(const QString &settingsFile) : remembered(settingsFile) {}
    RememberedDevices remembered;
    PortDevices devices{&remembered};
    std::unique_ptr<PanelWindow> window;
    QStringList warnings;
    int ends = 0;
    PanelWindow &f() { return *window; }
    ExchangeEngine &ex() { return window->engine(); }
    QWidget *w(const char *name) const { return window->control(QLatin1String(name)); }
    void click(const char *name) const;  // a mouse click, as the operator gives it
};

// `devices`: the device lines the port opens, when a test stands in for them.
std::unique_ptr<Panel> makePanel(const QString &com1, bool startUp = true, PortLine::DeviceFactory devices = {},
                                 const QString &settingsFile = RememberedDevices::defaultPath());

}  // namespace qm25::test
