// The page "Others": the loop read and loop write tests and their counters.
#include "app/FormParts.h"
#include "app/MainForm.h"
#include "app/Pages.h"
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

void BuildOthersPage(TMainForm* F)
{
    QFrame* bevel = NewBevel(F->TabSheet8, "Bevel8");
    auto* layout = new QVBoxLayout(bevel);
    layout->setContentsMargins(4, 6, 4, 4);
    layout->setSpacing(4);

    auto* top = new QHBoxLayout;
    top->setSpacing(6);
    F->CmbTestKeyType = NewList("CmbTestKeyType", {QStringLiteral("By KeyA"), QStringLiteral("By KEYB")}, 0, bevel);
    F->CmbTestKeyType->setFixedWidth(100);
    F->EdtBlock = new TSpinEdit(bevel);
    F->EdtBlock->setObjectName(QStringLiteral("EdtBlock"));
    F->EdtBlock->setRange(1, 63);
    F->EdtBlock->setValue(1);
    F->EdtBlock->setFixedSize(60, RowHeight);
    top->addWidget(NewLabel(QStringLiteral("By P.S."), bevel));
    top->addWidget(F->CmbTestKeyType);
    top->addSpacing(24);
    top->addWidget(NewLabel(QStringLiteral("Blk addr："), bevel));
    top->addWidget(F->EdtBlock);
    top->addStretch(1);
    layout->addLayout(top);

    auto newLoopGroup = [bevel](const QString& Caption, QPushButton* Start, QPushButton* Stop) {
        auto* group = new QGroupBox(Caption, bevel);
        auto* buttons = new QHBoxLayout(group);
        buttons->setContentsMargins(10, 2, 10, 6);
        buttons->setSpacing(16);
        Start->setParent(group);
        Stop->setParent(group);
        Start->setFixedWidth(80);
        Stop->setFixedWidth(80);
        buttons->addWidget(Start);
        buttons->addWidget(Stop);
        buttons->addStretch(1);
        return group;
    };
    F->BtnStartRead = NewButton("BtnStartRead", QStringLiteral("Start"), bevel);
    F->BtnStopRead = NewButton("BtnStopRead", QStringLiteral("Stop"), bevel, false);
    F->BtnStartWrite = NewButton("BtnStartWrite", QStringLiteral("Start"), bevel);
    F->BtnStopWrite = NewButton("BtnStopWrite", QStringLiteral("Stop"), bevel, false);
    auto* loops = new QHBoxLayout;
    loops->setSpacing(8);
    loops->addWidget(newLoopGroup(QStringLiteral("Loop Read："), F->BtnStartRead, F->BtnStopRead));
    loops->addWidget(newLoopGroup(QStringLiteral("Loop Write："), F->BtnStartWrite, F->BtnStopWrite));
    layout->addLayout(loops);

    // Three rows of three counters. The widths hold the longest text each
    // label shows during a run ("verification error：0000000", "read data："
    // and 32 hex digits, ...), so the columns are set per row.
    auto* info = new QGroupBox(QStringLiteral("Infomation："), bevel);
    info->setObjectName(QStringLiteral("GbInformation"));
    auto* infoRows = new QVBoxLayout(info);
    infoRows->setContentsMargins(4, 2, 2, 4);
    infoRows->setSpacing(2);
    auto newCounter = [info](const char* Name, const QString& Caption, int Width, bool Red) {
        auto* label = new QLabel(Caption, info);
        label->setObjectName(QLatin1String(Name));
        label->setFixedSize(Width, 18);
        if (Red) {
            QPalette colours = label->palette();
            colours.setColor(QPalette::WindowText, QColor(255, 0, 0));
            label->setPalette(colours);
        }
        return label;
    };
    F->LbQuerySum = newCounter("LbQuerySum", QStringLiteral("Search："), 124, false);
    F->LbTimeSum = newCounter("LbTimeSum", QStringLiteral("Time："), 116, false);
    F->LbCheckErrSum = newCounter("LbCheckErrSum", QStringLiteral("Verify err："), 168, true);
    F->LbReadSum = newCounter("LbReadSum", QStringLiteral("read："), 88, false);
    F->LbReadErrSum = newCounter("LbReadErrSum", QStringLiteral("Err："), 88, true);
    F->LbReadHex = newCounter("LbReadHex", QStringLiteral("read data："), 268, false);
    F->LbWriteSum = newCounter("LbWriteSum", QStringLiteral("write："), 88, false);
    F->LbWriteErrSum = newCounter("LbWriteErrSum", QStringLiteral("Err："), 88, true);
    F->LbWriteHex = newCounter("LbWriteHex", QStringLiteral("wrote data："), 268, false);
    for (const auto& row : {std::array<QLabel*, 3>{F->LbQuerySum, F->LbTimeSum, F->LbCheckErrSum},
             std::array<QLabel*, 3>{F->LbReadSum, F->LbReadErrSum, F->LbReadHex},
             std::array<QLabel*, 3>{F->LbWriteSum, F->LbWriteErrSum, F->LbWriteHex}}) {
        auto* line = new QHBoxLayout;
        line->setSpacing(4);
        for (QLabel* label : row)
            line->addWidget(label);
        line->addStretch(1);
        infoRows->addLayout(line);
    }
    layout->addWidget(info);
    layout->addStretch(1);

    // Handlers last, so that setting the defaults above ran none of them.
    OnClick(F, F->BtnStartRead, &TMainForm::BtnStartReadClick);
    OnClick(F, F->BtnStartWrite, &TMainForm::BtnStartWriteClick);
    OnClick(F, F->BtnStopRead, &TMainForm::BtnStopReadClick);
    OnClick(F, F->BtnStopWrite, &TMainForm::BtnStopReadClick);
}
