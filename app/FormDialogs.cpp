// The real dialogs: Qt's message boxes and file dialogs, and the desktop's
// file manager.
#include "app/FormDialogs.h"

#include <QDesktopServices>
#include <QDialog>
#include <QFileDialog>
#include <QMessageBox>
#include <QUrl>

void TFormDialogs::MessageBox(QWidget* Parent, const QString& Text, const QString& Caption, int /*Flags*/)
{
    QMessageBox::information(Parent, Caption, Text);
}

bool TFormDialogs::Ask(QWidget* Parent, const QString& Text, const QString& Caption)
{
    return QMessageBox::question(Parent, Caption, Text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
}

QString TFormDialogs::SaveFileName(QWidget* Parent, const QString& Caption, const QString& Name, const QString& Filter)
{
    return QFileDialog::getSaveFileName(Parent, Caption, Name, Filter);
}

QString TFormDialogs::OpenFileName(QWidget* Parent, const QString& Caption, const QString& Filter)
{
    return QFileDialog::getOpenFileName(Parent, Caption, QString(), Filter);
}

void TFormDialogs::Exec(QDialog& Dialog) { Dialog.exec(); }

bool TFormDialogs::OpenFolder(const QString& Path) { return QDesktopServices::openUrl(QUrl::fromLocalFile(Path)); }

bool TFormDialogs::OpenFile(const QString& Path) { return QDesktopServices::openUrl(QUrl::fromLocalFile(Path)); }
