#pragma once
// The dialogs the main window and its pages open, the real ones by default.
// A test puts its own in their place (TMainForm::SetDialogs) and answers
// them there.

#include <QString>

class QDialog;
class QWidget;

class TFormDialogs {
public:
    virtual ~TFormDialogs() = default;
    // Every box of the program is an information box with an OK button,
    // but for the questions, which have Yes and No.
    virtual void MessageBox(QWidget* Parent, const QString& Text, const QString& Caption, int Flags);
    // True for Yes; No is the default and what closing the box answers.
    virtual bool Ask(QWidget* Parent, const QString& Text, const QString& Caption);
    // The file dialogs; an empty name is a cancelled dialog.
    virtual QString SaveFileName(QWidget* Parent, const QString& Caption, const QString& Name, const QString& Filter);
    virtual QString OpenFileName(QWidget* Parent, const QString& Caption, const QString& Filter);
    // A dialog of the window's own, made and about to be shown modally.
    virtual void Exec(QDialog& Dialog);
    // Shows a folder in the desktop's file manager; false when none could.
    virtual bool OpenFolder(const QString& Path);
    // Opens a file (a report page) in the desktop's program for it; false
    // when none could.
    virtual bool OpenFile(const QString& Path);
};
