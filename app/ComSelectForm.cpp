#include "app/ComSelectForm.h"

#include "link/ComPorts.h"

#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>

TComSelectForm::TComSelectForm(const QList<int>& Available, QWidget* Parent) : QDialog(Parent)
{
    setWindowTitle("Select Port");
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(220, 131);

    auto* bevel = new QFrame(this);
    bevel->setFrameShape(QFrame::Panel);
    bevel->setFrameShadow(QFrame::Sunken);
    bevel->setGeometry(8, 8, 204, 49);
    auto* line1 = new QLabel("The configured serial port is not valid.", bevel);
    line1->setGeometry(8, 6, 192, 16);
    auto* line2 = new QLabel("Please choose another port.", bevel);
    line2->setGeometry(8, 26, 192, 16);

    PortsComboBox = new QComboBox(this);
    PortsComboBox->setObjectName("PortsComboBox");
    PortsComboBox->setGeometry(8, 64, 204, 22);
    for (int n : Available) {
        PortsComboBox->addItem(QString::asprintf("COM%d", n));
        PortsComboBox->setItemData(PortsComboBox->count() - 1, ComDevicePath(n), Qt::ToolTipRole);
    }
    if (PortsComboBox->count() > 0)
        PortsComboBox->setCurrentIndex(0);

    OKBtn = new QPushButton("OK", this);
    OKBtn->setGeometry(24, 98, 75, 25);
    OKBtn->setDefault(true);
    // With nothing to choose OK cannot close the dialog; only Cancel can.
    OKBtn->setEnabled(PortsComboBox->count() > 0);
    connect(OKBtn, &QPushButton::clicked, this, &QDialog::accept);

    CancelBtn = new QPushButton("Cancel", this);
    CancelBtn->setGeometry(121, 98, 75, 25);
    connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);

    if (auto* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

int TComSelectForm::SelectedComNumber() const
{
    const QString entry = PortsComboBox->currentText();
    if (!entry.startsWith("COM"))
        return 0;
    return entry.mid(3).toInt();
}

int ShowComSelectForm(const QList<int>& Available)
{
    TComSelectForm form(Available);
    if (form.exec() != QDialog::Accepted)
        return 0;
    return form.SelectedComNumber();
}
