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

#include <array>

using namespace FormParts;

namespace {

// The key type and the block both loop tests work on.
QHBoxLayout* NewTestSettings(QWidget* Bevel, QComboBox*& KeyType, TSpinEdit*& Block)
{
    auto* top = new QHBoxLayout;
    top->setSpacing(6);
    KeyType = NewList("CmbTestKeyType", {QStringLiteral("By KeyA"), QStringLiteral("By KEYB")}, 0, Bevel);
    KeyType->setFixedWidth(100);
    Block = new TSpinEdit(Bevel);
    Block->setObjectName(QStringLiteral("EdtBlock"));
    Block->setRange(1, 63);
    Block->setValue(1);
    Block->setFixedSize(60, RowHeight);
    top->addWidget(NewLabel(QStringLiteral("By P.S."), Bevel));
    top->addWidget(KeyType);
    top->addSpacing(24);
    top->addWidget(NewLabel(QStringLiteral("Blk addr："), Bevel));
    top->addWidget(Block);
    top->addStretch(1);
    return top;
}

// A loop test's group: its Start and Stop.
QGroupBox* NewLoopGroup(const QString& Caption, QPushButton* Start, QPushButton* Stop, QWidget* Bevel)
{
    auto* group = new QGroupBox(Caption, Bevel);
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
}

struct TCounter {
    const char* Name;
    const char* Caption;
    int Width;
    bool Red; // an error count
};

// Three rows of three counters. The widths hold the longest text each label
// shows during a run ("verification error：0000000", "read data：" and 32 hex
// digits, ...), so the columns are set per row.
const std::array<TCounter, 9> Counters{{
    {"LbQuerySum", "Search：", 124, false},
    {"LbTimeSum", "Time：", 116, false},
    {"LbCheckErrSum", "Verify err：", 168, true},
    {"LbReadSum", "read：", 88, false},
    {"LbReadErrSum", "Err：", 88, true},
    {"LbReadHex", "read data：", 268, false},
    {"LbWriteSum", "write：", 88, false},
    {"LbWriteErrSum", "Err：", 88, true},
    {"LbWriteHex", "wrote data：", 268, false},
}};

// The counters' group; Labels receive them in the order of Counters.
QGroupBox* NewCounters(QWidget* Bevel, const std::array<QLabel**, 9>& Labels)
{
    auto* info = new QGroupBox(QStringLiteral("Infomation："), Bevel);
    info->setObjectName(QStringLiteral("GbInformation"));
    auto* infoRows = new QVBoxLayout(info);
    infoRows->setContentsMargins(4, 2, 2, 4);
    infoRows->setSpacing(2);
    QHBoxLayout* line = nullptr;
    for (size_t i = 0; i < Counters.size(); ++i) {
        if (i % 3 == 0) {
            line = new QHBoxLayout;
            line->setSpacing(4);
            infoRows->addLayout(line);
        }
        auto* label = new QLabel(QString::fromUtf8(Counters[i].Caption), info);
        label->setObjectName(QLatin1String(Counters[i].Name));
        label->setFixedSize(Counters[i].Width, 18);
        if (Counters[i].Red) {
            QPalette colours = label->palette();
            colours.setColor(QPalette::WindowText, QColor(255, 0, 0));
            label->setPalette(colours);
        }
        line->addWidget(label);
        if (i % 3 == 2)
            line->addStretch(1);
        *Labels[i] = label;
    }
    return info;
}

} // namespace

void BuildOthersPage(TMainForm* F)
{
    QFrame* bevel = NewBevel(F->TabSheet8, "Bevel8");
    auto* layout = new QVBoxLayout(bevel);
    layout->setContentsMargins(4, 6, 4, 4);
    layout->setSpacing(4);
    layout->addLayout(NewTestSettings(bevel, F->CmbTestKeyType, F->EdtBlock));

    F->BtnStartRead = NewButton("BtnStartRead", QStringLiteral("Start"), bevel);
    F->BtnStopRead = NewButton("BtnStopRead", QStringLiteral("Stop"), bevel, false);
    F->BtnStartWrite = NewButton("BtnStartWrite", QStringLiteral("Start"), bevel);
    F->BtnStopWrite = NewButton("BtnStopWrite", QStringLiteral("Stop"), bevel, false);
    auto* loops = new QHBoxLayout;
    loops->setSpacing(8);
    loops->addWidget(NewLoopGroup(QStringLiteral("Loop Read："), F->BtnStartRead, F->BtnStopRead, bevel));
    loops->addWidget(NewLoopGroup(QStringLiteral("Loop Write："), F->BtnStartWrite, F->BtnStopWrite, bevel));
    layout->addLayout(loops);

    layout->addWidget(NewCounters(bevel, {&F->LbQuerySum, &F->LbTimeSum, &F->LbCheckErrSum, &F->LbReadSum, &F->LbReadErrSum, &F->LbReadHex, &F->LbWriteSum, &F->LbWriteErrSum, &F->LbWriteHex}));
    layout->addStretch(1);

    // Handlers last, so that setting the defaults above ran none of them.
    OnClick(F, F->BtnStartRead, &TMainForm::BtnStartReadClick);
    OnClick(F, F->BtnStartWrite, &TMainForm::BtnStartWriteClick);
    OnClick(F, F->BtnStopRead, &TMainForm::BtnStopReadClick);
    OnClick(F, F->BtnStopWrite, &TMainForm::BtnStopReadClick);
}
