// The page "Basic": card type and serial number, and the four discovery buttons.
#include "app/FormParts.h"
#include "app/MainForm.h"
#include "app/Pages.h"
#include "reader/HexText.h"

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
    QFrame* bevel = NewBevel(F->TabSheet1, "Bevel1");
    auto* layout = new QHBoxLayout(bevel);
    layout->setContentsMargins(16, 16, 16, 16);
    layout->setSpacing(24);

    auto* boxes = new QGridLayout;
    boxes->setVerticalSpacing(12);
    boxes->setHorizontalSpacing(8);
    F->EdtCardType = NewEdit("EdtCardType", 0, bevel);
    F->EdtCardType->setReadOnly(true);
    F->EdtSN = NewEdit("EdtSN", 0, bevel);
    F->EdtSN->setReadOnly(true);
    F->EdtCardType->setFixedWidth(200);
    F->EdtSN->setFixedWidth(200);
    boxes->addWidget(NewLabel(QStringLiteral("CardType"), bevel), 0, 0);
    boxes->addWidget(F->EdtCardType, 0, 1);
    boxes->addWidget(NewLabel(QStringLiteral("SN"), bevel), 1, 0);
    boxes->addWidget(F->EdtSN, 1, 1);
    boxes->setRowStretch(2, 1);
    layout->addLayout(boxes);
    layout->addStretch(1);

    auto* buttons = new QVBoxLayout;
    buttons->setSpacing(10);
    F->Button9 = NewButton("Button9", QStringLiteral("Search card"), bevel);
    F->Button10 = NewButton("Button10", QStringLiteral("Anticollision "), bevel);
    F->Button11 = NewButton("Button11", QStringLiteral("Select card"), bevel);
    F->Button12 = NewButton("Button12", QStringLiteral("Stop card"), bevel);
    for (QPushButton* button : {F->Button9, F->Button10, F->Button11, F->Button12}) {
        button->setFixedWidth(110);
        buttons->addWidget(button);
    }
    buttons->addStretch(1);
    layout->addLayout(buttons);

    // Handlers last, so that setting the defaults above ran none of them.
    OnClick(F, F->Button9, &TMainForm::Button9Click);
    OnClick(F, F->Button10, &TMainForm::Button10Click);
    OnClick(F, F->Button11, &TMainForm::Button11Click);
    OnClick(F, F->Button12, &TMainForm::Button12Click);
}

// ------------------------------------------------------ what the page shows

namespace {

QString CardTypeName(uint8_t Code) { return QString::fromLatin1(CardTypeText(Code)); }

} // namespace

void TMainForm::CardFound(const TCardId& Card)
{
    EdtCardType->setText(CardTypeName(Card.Type));
    EdtSN->setText(BytesToHex(Card.Serial.data(), SerialBytes));
}

void TMainForm::CardTypeFound(uint8_t Type) { EdtCardType->setText(CardTypeName(Type)); }

void TMainForm::SerialFound(const TSerial& Serial) { EdtSN->setText(BytesToHex(Serial.data(), SerialBytes)); }
