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
    QFrame* bevel = NewBevel(F->TabSheet4, "Bevel4");
    auto* layout = new QHBoxLayout(bevel);
    layout->setContentsMargins(8, 4, 8, 4);
    layout->setSpacing(12);

    auto* keys = new QGridLayout;
    keys->setHorizontalSpacing(4);
    keys->setVerticalSpacing(2);
    for (int sector = 0; sector < 16; ++sector) {
        auto* check = new QCheckBox(QStringLiteral("S%1").arg(sector), bevel);
        check->setObjectName(QStringLiteral("Ck%1").arg(sector));
        check->setChecked(true);
        check->setFixedHeight(RowHeight);
        QLineEdit* keyEdit = NewEdit("", 12, bevel);
        keyEdit->setObjectName(QStringLiteral("EdtKey%1").arg(sector));
        keyEdit->setFixedWidth(96);
        const int column = (sector / 8) * 3;
        keys->addWidget(check, sector % 8, column);
        keys->addWidget(keyEdit, sector % 8, column + 1);
        F->Ck[size_t(sector)] = check;
        F->EdtKey[size_t(sector)] = keyEdit;
    }
    keys->setColumnMinimumWidth(2, 12);
    // Tab along each row, check box then key, in sector order.
    for (size_t sector = 0; sector < 16; ++sector) {
        if (sector > 0)
            QWidget::setTabOrder(F->EdtKey[sector - 1], F->Ck[sector]);
        QWidget::setTabOrder(F->Ck[sector], F->EdtKey[sector]);
    }
    layout->addLayout(keys);
    layout->addStretch(1);

    auto* right = new QVBoxLayout;
    right->setSpacing(4);
    F->CmbDownKeyType = NewList("CmbDownKeyType", {QStringLiteral("KEYA"), QStringLiteral("KEYB")}, 0, bevel);
    F->CmbDownKeyType->setFixedWidth(90);
    F->BtnDownKeys = NewButton("BtnDownKeys", QStringLiteral("DownLoad"), bevel);
    F->BtnDownKeys->setFixedWidth(90);
    right->addSpacing(8);
    right->addWidget(NewLabel(QStringLiteral("DownType"), bevel));
    right->addWidget(F->CmbDownKeyType);
    right->addStretch(1);
    right->addWidget(F->BtnDownKeys);
    right->addSpacing(16);
    layout->addLayout(right);

    // Handlers last, so that setting the defaults above ran none of them.
    OnClick(F, F->BtnDownKeys, &TMainForm::BtnDownKeysClick);
}

void TMainForm::BtnDownKeysClick()
{
    std::array<std::optional<QString>, SectorCount> keys;
    for (size_t sector = 0; sector < keys.size(); ++sector)
        if (Ck[sector]->isChecked())
            keys[sector] = EdtKey[sector]->text();
    FSession->DownloadKeys(uint8_t(CmbDownKeyType->currentIndex()), keys);
}
