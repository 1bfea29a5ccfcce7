#include "app/uDebug.h"

#include <QVBoxLayout>

TfrmDebug::TfrmDebug(QWidget* Parent) : QWidget(Parent, Qt::Tool)
{
    setObjectName("frmDebug");
    setWindowTitle("Debug Window");
    resize(536, 348);
    Debug = new QPlainTextEdit(this);
    Debug->setObjectName("Debug");
    Debug->setReadOnly(true);
    Debug->setLineWrapMode(QPlainTextEdit::NoWrap);
    Debug->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Debug->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(Debug);
}

void TfrmDebug::AddLine(const QString& Line)
{
    FLines << Line;
    Debug->appendPlainText(Line);
}

void TfrmDebug::Clear()
{
    FLines.clear();
    Debug->clear();
}
