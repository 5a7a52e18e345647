// The page "DownPS": sixteen sector keys to download into the reader.
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

void BuildDownPSPage(TMainForm* F)
{
    QFrame* Bevel = NewBevel(F->TabSheet4, "Bevel4");
    auto* Layout = new QHBoxLayout(Bevel);
    Layout->setContentsMargins(8, 4, 8, 4);
    Layout->setSpacing(12);

    auto* Keys = new QGridLayout;
    Keys->setHorizontalSpacing(4);
    Keys->setVerticalSpacing(2);
    for (int Sector = 0; Sector < 16; ++Sector) {
        auto* Check = new QCheckBox(QStringLiteral("S%1").arg(Sector), Bevel);
        Check->setObjectName(QStringLiteral("Ck%1").arg(Sector));
        Check->setChecked(true);
        Check->setFixedHeight(RowHeight);
        QLineEdit* KeyEdit = NewEdit("", 12, Bevel);
        KeyEdit->setObjectName(QStringLiteral("EdtKey%1").arg(Sector));
        KeyEdit->setFixedWidth(96);
        const int Column = (Sector / 8) * 3;
        Keys->addWidget(Check, Sector % 8, Column);
        Keys->addWidget(KeyEdit, Sector % 8, Column + 1);
        F->Ck[size_t(Sector)] = Check;
        F->EdtKey[size_t(Sector)] = KeyEdit;
    }
    Keys->setColumnMinimumWidth(2, 12);
    // Tab along each row, check box then key, in sector order.
    for (size_t Sector = 0; Sector < 16; ++Sector) {
        if (Sector > 0)
            QWidget::setTabOrder(F->EdtKey[Sector - 1], F->Ck[Sector]);
        QWidget::setTabOrder(F->Ck[Sector], F->EdtKey[Sector]);
    }
    Layout->addLayout(Keys);
    Layout->addStretch(1);

    auto* Right = new QVBoxLayout;
    Right->setSpacing(4);
    F->CmbDownKeyType = NewList("CmbDownKeyType", {QStringLiteral("KEYA"), QStringLiteral("KEYB")}, 0, Bevel);
    F->CmbDownKeyType->setFixedWidth(90);
    F->BtnDownKeys = NewButton("BtnDownKeys", QStringLiteral("DownLoad"), Bevel);
    F->BtnDownKeys->setFixedWidth(90);
    Right->addSpacing(8);
    Right->addWidget(NewLabel(QStringLiteral("DownType"), Bevel));
    Right->addWidget(F->CmbDownKeyType);
    Right->addStretch(1);
    Right->addWidget(F->BtnDownKeys);
    Right->addSpacing(16);
    Layout->addLayout(Right);

    // Handlers last, so that setting the defaults above ran none of them.
    OnClick(F, F->BtnDownKeys, &TMainForm::BtnDownKeysClick);
}
