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
    QFrame* Bevel = NewBevel(F->TabSheet6, "Bevel6");
    auto* Layout = new QVBoxLayout(Bevel);
    Layout->setContentsMargins(10, 6, 10, 6);
    Layout->setSpacing(6);

    F->RgQueryType = new TRadioGroup(QStringLiteral("Search Card by："),
        {QStringLiteral("Idel card"), QStringLiteral("All cards")}, 2, Bevel);
    F->RgQueryType->setObjectName(QStringLiteral("RgQueryType"));
    F->RgQueryType->SetItemIndex(0);
    F->RgQueryType->setFixedWidth(260);
    F->ChkBeep = new QCheckBox(QStringLiteral("buzzer sounds after operation"), Bevel);
    F->ChkBeep->setObjectName(QStringLiteral("ChkBeep"));
    F->ChkBeep->setChecked(true);
    F->RgPort = new TRadioGroup(QStringLiteral("Port："),
        {QStringLiteral("COM1"), QStringLiteral("COM2"), QStringLiteral("COM3"), QStringLiteral("COM4")}, 4, Bevel);
    F->RgPort->setObjectName(QStringLiteral("RgPort"));
    F->RgPort->SetItemIndex(0);
    F->RgPort->setFixedWidth(260);
    F->EdtMS = new TSpinEdit(Bevel);
    F->EdtMS->setObjectName(QStringLiteral("EdtMS"));
    F->EdtMS->setRange(100, 30000);
    F->EdtMS->setValue(500);
    F->EdtMS->setFixedSize(80, RowHeight);

    Layout->addWidget(F->RgQueryType);
    Layout->addWidget(F->ChkBeep);
    Layout->addWidget(F->RgPort);
    auto* TimeOut = new QHBoxLayout;
    TimeOut->setSpacing(6);
    TimeOut->addWidget(NewLabel(QStringLiteral("OverTime："), Bevel));
    TimeOut->addWidget(F->EdtMS);
    TimeOut->addWidget(NewLabel(QStringLiteral("(ms)"), Bevel));
    TimeOut->addStretch(1);
    Layout->addLayout(TimeOut);
    Layout->addStretch(1);

    // Handlers last, so that setting the defaults above ran none of them.
    QObject::connect(F->ChkBeep, &QCheckBox::clicked, F, [F] { F->ChkBeepClick(); });
    QObject::connect(F->EdtMS, &TSpinEdit::TextChanged, F, [F] { F->EdtMSChange(); });
    QObject::connect(F->RgQueryType, &TRadioGroup::Click, F, [F] { F->RgQueryTypeClick(); });
    QObject::connect(F->RgPort, &TRadioGroup::Click, F, [F] { F->RgPortClick(); });
}
