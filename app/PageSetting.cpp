// The page "Setting": search mode, beep, port and reply time-out.
#include "app/FormParts.h"
#include "app/MainForm.h"
#include "app/Pages.h"
#include "widgets/RadioGroup.h"
#include "widgets/SpinEdit.h"

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

void BuildSettingPage(TMainForm* F)
{
    QFrame* bevel = NewBevel(F->TabSheet6, "Bevel6");
    auto* layout = new QVBoxLayout(bevel);
    layout->setContentsMargins(10, 6, 10, 6);
    layout->setSpacing(6);

    F->RgQueryType = new TRadioGroup(QStringLiteral("Search Card by："),
        {QStringLiteral("Idel card"), QStringLiteral("All cards")}, 2, bevel);
    F->RgQueryType->setObjectName(QStringLiteral("RgQueryType"));
    F->RgQueryType->SetItemIndex(0);
    F->RgQueryType->setFixedWidth(260);
    F->ChkBeep = new QCheckBox(QStringLiteral("buzzer sounds after operation"), bevel);
    F->ChkBeep->setObjectName(QStringLiteral("ChkBeep"));
    F->ChkBeep->setChecked(true);
    F->RgPort = new TRadioGroup(QStringLiteral("Port："),
        {QStringLiteral("COM1"), QStringLiteral("COM2"), QStringLiteral("COM3"), QStringLiteral("COM4")}, 4, bevel);
    F->RgPort->setObjectName(QStringLiteral("RgPort"));
    F->RgPort->SetItemIndex(0);
    F->RgPort->setFixedWidth(260);
    F->EdtMS = new TSpinEdit(bevel);
    F->EdtMS->setObjectName(QStringLiteral("EdtMS"));
    F->EdtMS->setRange(100, 30000);
    F->EdtMS->setValue(500);
    F->EdtMS->setFixedSize(80, RowHeight);

    layout->addWidget(F->RgQueryType);
    layout->addWidget(F->ChkBeep);
    layout->addWidget(F->RgPort);
    auto* timeOut = new QHBoxLayout;
    timeOut->setSpacing(6);
    timeOut->addWidget(NewLabel(QStringLiteral("OverTime："), bevel));
    timeOut->addWidget(F->EdtMS);
    timeOut->addWidget(NewLabel(QStringLiteral("(ms)"), bevel));
    timeOut->addStretch(1);
    layout->addLayout(timeOut);
    layout->addStretch(1);

    // Handlers last, so that setting the defaults above ran none of them.
    QObject::connect(F->ChkBeep, &QCheckBox::clicked, F, [F] { F->ChkBeepClick(); });
    QObject::connect(F->EdtMS, &TSpinEdit::TextChanged, F, [F] { F->EdtMSChange(); });
    QObject::connect(F->RgQueryType, &TRadioGroup::Click, F, [F] { F->RgQueryTypeClick(); });
    QObject::connect(F->RgPort, &TRadioGroup::Click, F, [F] { F->RgPortClick(); });
}
