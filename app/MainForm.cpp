// Window construction and layout (stub until built).
#include "app/MainForm.h"
#include "reader/ReaderLink.h"
#include "serial/Comm.h"

#include <QMessageBox>
#include <QPlainTextEdit>
#include <QVariant>

TMainForm::TMainForm(QWidget* parent)
    : QMainWindow(parent)
{
    BuildUi();
    CreateComponents();
    FormCreate();
}

TMainForm::~TMainForm() = default;

void TMainForm::BuildUi() { }
void TMainForm::Rd0Click(QObject*) { }
void TMainForm::RdIncClick(QObject*) { }
void TMainForm::RbCardSecorClick(QObject*) { }
void TMainForm::C1Click() { }
void TMainForm::DisplayHint(const QString&) { }
void TMainForm::PageControl1Change() { }
void TMainForm::TabSheet5ContextPopup() { }
void TMainForm::TabSheet6ContextPopup() { }
void TMainForm::TabSheet7ContextPopup() { }

void TMainForm::Log(const QString& Line)
{
    if (MmoMsg)
        MmoMsg->appendPlainText(Line);
}

void TMainForm::MessageBox(const QString& Text, const QString& Caption, int Flags)
{
    if (MessageBoxHandler) {
        MessageBoxHandler(Text, Caption, Flags);
        return;
    }
    QMessageBox::information(this, Caption, Text);
}

int TMainForm::Tag(const QObject* Control) { return Control->property("Tag").toInt(); }
void TMainForm::SetTag(QObject* Control, int Value) { Control->setProperty("Tag", Value); }
