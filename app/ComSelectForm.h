#pragma once
// The port-selection dialog shown when a port is opened with no port number set.

#include <QComboBox>
#include <QDialog>
#include <QPushButton>

class TComSelectForm : public QDialog {
public:
    // Lists the given port numbers ("COM%d"); the first is preselected.
    explicit TComSelectForm(const QList<int>& Available, QWidget* Parent = nullptr);

    // The number of the chosen entry, 0 when there is none.
    int SelectedComNumber() const;

    QComboBox* PortsComboBox = nullptr;
    QPushButton* OKBtn = nullptr;
    QPushButton* CancelBtn = nullptr;
};

// Shows the dialog modally; the chosen port number, or 0 for anything but OK.
int ShowComSelectForm(const QList<int>& Available);
