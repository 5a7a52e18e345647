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
    QFrame* Bevel = NewBevel(F->TabSheet8, "Bevel8");
    auto* Layout = new QVBoxLayout(Bevel);
    Layout->setContentsMargins(4, 6, 4, 4);
    Layout->setSpacing(4);

    auto* Top = new QHBoxLayout;
    Top->setSpacing(6);
    F->CmbTestKeyType = NewList("CmbTestKeyType", {QStringLiteral("By KeyA"), QStringLiteral("By KEYB")}, 0, Bevel);
    F->CmbTestKeyType->setFixedWidth(100);
    F->EdtBlock = new TSpinEdit(Bevel);
    F->EdtBlock->setObjectName(QStringLiteral("EdtBlock"));
    F->EdtBlock->setRange(1, 63);
    F->EdtBlock->setValue(1);
    F->EdtBlock->setFixedSize(60, RowHeight);
    Top->addWidget(NewLabel(QStringLiteral("By P.S."), Bevel));
    Top->addWidget(F->CmbTestKeyType);
    Top->addSpacing(24);
    Top->addWidget(NewLabel(QStringLiteral("Blk addr："), Bevel));
    Top->addWidget(F->EdtBlock);
    Top->addStretch(1);
    Layout->addLayout(Top);

    auto NewLoopGroup = [Bevel](const QString& Caption, QPushButton* Start, QPushButton* Stop) {
        auto* Group = new QGroupBox(Caption, Bevel);
        auto* Buttons = new QHBoxLayout(Group);
        Buttons->setContentsMargins(10, 2, 10, 6);
        Buttons->setSpacing(16);
        Start->setParent(Group);
        Stop->setParent(Group);
        Start->setFixedWidth(80);
        Stop->setFixedWidth(80);
        Buttons->addWidget(Start);
        Buttons->addWidget(Stop);
        Buttons->addStretch(1);
        return Group;
    };
    F->BtnStartRead = NewButton("BtnStartRead", QStringLiteral("Start"), Bevel);
    F->BtnStopRead = NewButton("BtnStopRead", QStringLiteral("Stop"), Bevel, false);
    F->BtnStartWrite = NewButton("BtnStartWrite", QStringLiteral("Start"), Bevel);
    F->BtnStopWrite = NewButton("BtnStopWrite", QStringLiteral("Stop"), Bevel, false);
    auto* Loops = new QHBoxLayout;
    Loops->setSpacing(8);
    Loops->addWidget(NewLoopGroup(QStringLiteral("Loop Read："), F->BtnStartRead, F->BtnStopRead));
    Loops->addWidget(NewLoopGroup(QStringLiteral("Loop Write："), F->BtnStartWrite, F->BtnStopWrite));
    Layout->addLayout(Loops);

    // Three rows of three counters. The widths hold the longest text each
    // label shows during a run ("verification error：0000000", "read data："
    // and 32 hex digits, ...), so the columns are set per row.
    auto* Info = new QGroupBox(QStringLiteral("Infomation："), Bevel);
    Info->setObjectName(QStringLiteral("GbInformation"));
    auto* InfoRows = new QVBoxLayout(Info);
    InfoRows->setContentsMargins(4, 2, 2, 4);
    InfoRows->setSpacing(2);
    auto NewCounter = [Info](const char* Name, const QString& Caption, int Width, bool Red) {
        auto* Label = new QLabel(Caption, Info);
        Label->setObjectName(QLatin1String(Name));
        Label->setFixedSize(Width, 18);
        if (Red) {
            QPalette Colours = Label->palette();
            Colours.setColor(QPalette::WindowText, QColor(255, 0, 0));
            Label->setPalette(Colours);
        }
        return Label;
    };
    F->LbQuerySum = NewCounter("LbQuerySum", QStringLiteral("Search："), 124, false);
    F->LbTimeSum = NewCounter("LbTimeSum", QStringLiteral("Time："), 116, false);
    F->LbCheckErrSum = NewCounter("LbCheckErrSum", QStringLiteral("Verify err："), 168, true);
    F->LbReadSum = NewCounter("LbReadSum", QStringLiteral("read："), 88, false);
    F->LbReadErrSum = NewCounter("LbReadErrSum", QStringLiteral("Err："), 88, true);
    F->LbReadHex = NewCounter("LbReadHex", QStringLiteral("read data："), 268, false);
    F->LbWriteSum = NewCounter("LbWriteSum", QStringLiteral("write："), 88, false);
    F->LbWriteErrSum = NewCounter("LbWriteErrSum", QStringLiteral("Err："), 88, true);
    F->LbWriteHex = NewCounter("LbWriteHex", QStringLiteral("wrote data："), 268, false);
    for (const auto& Row : {std::array<QLabel*, 3>{F->LbQuerySum, F->LbTimeSum, F->LbCheckErrSum},
             std::array<QLabel*, 3>{F->LbReadSum, F->LbReadErrSum, F->LbReadHex},
             std::array<QLabel*, 3>{F->LbWriteSum, F->LbWriteErrSum, F->LbWriteHex}}) {
        auto* Line = new QHBoxLayout;
        Line->setSpacing(4);
        for (QLabel* Label : Row)
            Line->addWidget(Label);
        Line->addStretch(1);
        InfoRows->addLayout(Line);
    }
    Layout->addWidget(Info);
    Layout->addStretch(1);

    // Handlers last, so that setting the defaults above ran none of them.
    OnClick(F, F->BtnStartRead, &TMainForm::BtnStartReadClick);
    OnClick(F, F->BtnStartWrite, &TMainForm::BtnStartWriteClick);
    OnClick(F, F->BtnStopRead, &TMainForm::BtnStopReadClick);
    OnClick(F, F->BtnStopWrite, &TMainForm::BtnStopReadClick);
}
