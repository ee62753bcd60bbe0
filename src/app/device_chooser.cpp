#include "app/device_chooser.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>


namespace qm25 {

DeviceChooser::DeviceChooser(int port, const PortDevice &now, const QString &startUpFailure, QWidget *parent)
    : QDialog(parent), port_(port)
{
    setObjectName(QStringLiteral("DeviceChooser"));
    setWindowTitle(QStringLiteral("QM25 Control: device for COM%1").arg(port));
    auto *layout = new QVBoxLayout(this);

    if (!startUpFailure.isEmpty()) {
        auto *failure = new QLabel(startUpFailure, this);
        failure->setObjectName(QStringLiteral("failure"));
        failure->setWordWrap(true);
        failure->setTextInteractionFlags(Qt::TextSelectableByMouse);
        layout->addWidget(failure);
    }
    QString current = QStringLiteral("COM%1 is now %2").arg(port).arg(now.name);
    if (now.device != now.name)
        current += QStringLiteral(" (%1)").arg(now.device);
    layout->addWidget(new QLabel(current + QStringLiteral(", %1.").arg(sourceText(now.source, port)), this));

    layout->addWidget(new QLabel(QStringLiteral("Serial ports on this computer:"), this));
    list_ = new QTreeWidget(this);
    list_->setObjectName(QStringLiteral("devices"));
    list_->setRootIsDecorated(false);
    list_->setHeaderLabels({QStringLiteral("Device"), QStringLiteral("Stable name"), QStringLiteral("Description"),
                            QStringLiteral("Manufacturer"), QStringLiteral("Serial number"), QStringLiteral("In use by")});
    list_->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    list_->setMinimumSize(640, 140);
    layout->addWidget(list_);
    empty_ = new QLabel(QStringLiteral("No serial port found yet: plug the adapter in, or type its path below."), this);
    layout->addWidget(empty_);

    layout->addWidget(new QLabel(QStringLiteral("Other device (a path such as /dev/ttyUSB0, or a device server as tcp://HOST:PORT):"), this));
    other_ = new QLineEdit(this);
    other_->setObjectName(QStringLiteral("otherDevice"));
    layout->addWidget(other_);
    remember_ = new QCheckBox(QStringLiteral("Remember this device for COM%1").arg(port), this);
    remember_->setObjectName(QStringLiteral("remember"));
    layout->addWidget(remember_);

    auto *buttons = new QDialogButtonBox(this);
    open_ = buttons->addButton(QStringLiteral("Open"), QDialogButtonBox::AcceptRole);
    open_->setObjectName(QStringLiteral("open"));
    if (startUpFailure.isEmpty()) {
        buttons->addButton(QDialogButtonBox::Cancel)->setObjectName(QStringLiteral("cancel"));
    } else {
        QPushButton *retry = buttons->addButton(QStringLiteral("Retry"), QDialogButtonBox::ActionRole);
        retry->setObjectName(QStringLiteral("retry"));
        retry->setToolTip(QStringLiteral("Try %1 again").arg(now.name));
        connect(retry, &QPushButton::clicked, this, [this] { done(Retry); });
        buttons->addButton(QStringLiteral("Quit"), QDialogButtonBox::RejectRole)->setObjectName(QStringLiteral("quit"));
    }
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);

    // A port picked in the list and a path typed exclude each other.
    connect(list_, &QTreeWidget::itemSelectionChanged, this, [this] {
        if (!list_->selectedItems().isEmpty())
            other_->clear();
        updateOpenButton();
    });
    connect(list_, &QTreeWidget::itemActivated, this, [this] { accept(); });
    connect(other_, &QLineEdit::textChanged, this, [this](const QString &text) {
        if (!text.isEmpty())
            list_->clearSelection();
        updateOpenButton();
    });

    refresh();
    for (int i = 0; i < list_->topLevelItemCount(); ++i)
        if (shown_[i].device == now.device)
            list_->setCurrentItem(list_->topLevelItem(i));
    updateOpenButton();
    refreshTimer_.setInterval(1000);
    connect(&refreshTimer_, &QTimer::timeout, this, &DeviceChooser::refresh);
    refreshTimer_.start();
}

void DeviceChooser::setPortSource(std::function<QList<SerialDevice>()> source)
{
    source_ = std::move(source);
    refresh();
}

void DeviceChooser::refresh()
{
    const QList<SerialDevice> devices = source_();
    if (devices == shown_)
        return;
    const QList<QTreeWidgetItem *> selected = list_->selectedItems();
    const QString keep = selected.isEmpty() ? QString() : selected.first()->text(0);
    list_->clear();
    for (const SerialDevice &d : devices) {
        auto *item = new QTreeWidgetItem(list_, {d.device, QFileInfo(d.stableName).fileName(), d.description,
                                                 d.manufacturer, d.serialNumber, d.holder});
        item->setToolTip(1, d.stableName);
        // Chosen by the stable name: the same adapter is found in any socket.
        item->setData(0, Qt::UserRole, d.stableName.isEmpty() ? d.device : d.stableName);
        if (d.device == keep)
            item->setSelected(true);
    }
    shown_ = devices;
    empty_->setVisible(devices.isEmpty());
}

void DeviceChooser::updateOpenButton()
{
    open_->setEnabled(!other_->text().trimmed().isEmpty() || !list_->selectedItems().isEmpty());
}

DeviceChoice DeviceChooser::choice() const
{
    DeviceChoice c;
    c.remember = remember_->isChecked();
    if (result() == Retry)
        return c;
    const QList<QTreeWidgetItem *> selected = list_->selectedItems();
    c.device = !other_->text().trimmed().isEmpty() ? other_->text().trimmed()
               : selected.isEmpty()                ? QString()
                                                   : selected.first()->data(0, Qt::UserRole).toString();
    return c;
}

std::optional<DeviceChoice> askForDevice(int port, const PortDevice &now, const QString &startUpFailure,
                                         QWidget *parent)
{
    DeviceChooser chooser(port, now, startUpFailure, parent);
    if (chooser.exec() == QDialog::Rejected)
        return std::nullopt;
    return chooser.choice();
}

}  // namespace qm25
