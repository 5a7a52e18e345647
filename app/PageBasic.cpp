// The page "Basic": card type and serial number, and the four discovery buttons.
#include "app/FormParts.h"
#include "app/MainForm.h"
#include "app/Pages.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

using namespace FormParts;

void BuildBasicPage(TMainForm* F)
{
    QFrame* Bevel = NewBevel(F->TabSheet1, "Bevel1");
    auto* Layout = new QHBoxLayout(Bevel);
    Layout->setContentsMargins(16, 16, 16, 16);
    Layout->setSpacing(24);

    auto* Boxes = new QGridLayout;
    Boxes->setVerticalSpacing(12);
    Boxes->setHorizontalSpacing(8);
    F->EdtCardType = NewEdit("EdtCardType", 0, Bevel);
    F->EdtCardType->setReadOnly(true);
    F->EdtSN = NewEdit("EdtSN", 0, Bevel);
    F->EdtSN->setReadOnly(true);
    F->EdtCardType->setFixedWidth(200);
    F->EdtSN->setFixedWidth(200);
    Boxes->addWidget(NewLabel(QStringLiteral("CardType"), Bevel), 0, 0);
    Boxes->addWidget(F->EdtCardType, 0, 1);
    Boxes->addWidget(NewLabel(QStringLiteral("SN"), Bevel), 1, 0);
    Boxes->addWidget(F->EdtSN, 1, 1);
    Boxes->setRowStretch(2, 1);
    Layout->addLayout(Boxes);
    Layout->addStretch(1);

    auto* Buttons = new QVBoxLayout;
    Buttons->setSpacing(10);
    F->Button9 = NewButton("Button9", QStringLiteral("Search card"), Bevel);
    F->Button10 = NewButton("Button10", QStringLiteral("Anticollision "), Bevel);
    F->Button11 = NewButton("Button11", QStringLiteral("Select card"), Bevel);
    F->Button12 = NewButton("Button12", QStringLiteral("Stop card"), Bevel);
    for (QPushButton* Button : {F->Button9, F->Button10, F->Button11, F->Button12}) {
        Button->setFixedWidth(110);
        Buttons->addWidget(Button);
    }
    Buttons->addStretch(1);
    Layout->addLayout(Buttons);

    // Handlers last, so that setting the defaults above ran none of them.
    OnClick(F, F->Button9, &TMainForm::Button9Click);
    OnClick(F, F->Button10, &TMainForm::Button10Click);
    OnClick(F, F->Button11, &TMainForm::Button11Click);
    OnClick(F, F->Button12, &TMainForm::Button12Click);
}
