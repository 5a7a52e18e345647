#include "app/FormParts.h"

#include "app/MainForm.h"

#include <QButtonGroup>
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

namespace FormParts {

const QStringList KeySourceItems{
    QStringLiteral("By KEYA"), QStringLiteral("By KEYB"),
    QStringLiteral("By Input KEYA"), QStringLiteral("By Input KEYB")};

QLabel* NewLabel(const QString& Caption, QWidget* Parent)
{
    auto* Label = new QLabel(Caption, Parent);
    Label->setFixedHeight(RowHeight);
    return Label;
}

QPushButton* NewButton(const char* Name, const QString& Caption, QWidget* Parent, bool Enabled)
{
    auto* Button = new QPushButton(Caption, Parent);
    Button->setObjectName(QLatin1String(Name));
    Button->setFixedHeight(RowHeight + 2);
    Button->setEnabled(Enabled);
    return Button;
}

QLineEdit* NewEdit(const char* Name, int MaxLength, QWidget* Parent)
{
    auto* Edit = new QLineEdit(Parent);
    Edit->setObjectName(QLatin1String(Name));
    if (MaxLength > 0)
        Edit->setMaxLength(MaxLength);
    Edit->setFixedHeight(RowHeight);
    return Edit;
}

QComboBox* NewList(const char* Name, const QStringList& Items, int Index, QWidget* Parent)
{
    auto* List = new QComboBox(Parent);
    List->setObjectName(QLatin1String(Name));
    List->setEditable(false);
    List->addItems(Items);
    List->setCurrentIndex(Index);
    List->setFixedHeight(RowHeight);
    return List;
}

QFrame* NewBevel(QWidget* Page, const char* Name)
{
    auto* PageLayout = new QVBoxLayout(Page);
    PageLayout->setContentsMargins(2, 2, 2, 2);
    auto* Bevel = new QFrame(Page);
    Bevel->setObjectName(QLatin1String(Name));
    Bevel->setFrameShape(QFrame::Panel);
    Bevel->setFrameShadow(QFrame::Sunken);
    PageLayout->addWidget(Bevel);
    return Bevel;
}

QWidget* NewSectorGrid(QWidget* Parent, const std::array<const char*, 16>& Names,
    std::array<QRadioButton*, 16>& Radios)
{
    auto* Grid = new QWidget(Parent);
    auto* Layout = new QGridLayout(Grid);
    Layout->setContentsMargins(4, 0, 4, 0);
    Layout->setHorizontalSpacing(6);
    Layout->setVerticalSpacing(0);
    auto* Group = new QButtonGroup(Grid);
    Group->setExclusive(true);
    for (int Sector = 0; Sector < 16; ++Sector) {
        auto* Radio = new QRadioButton(QStringLiteral("S%1").arg(Sector), Grid);
        Radio->setObjectName(QLatin1String(Names[size_t(Sector)]));
        Radio->setFixedHeight(18);
        TMainForm::SetTag(Radio, Sector);
        Group->addButton(Radio, Sector);
        Layout->addWidget(Radio, Sector / 4, Sector % 4);
        Radios[size_t(Sector)] = Radio;
    }
    Radios[0]->setChecked(true);
    for (size_t Sector = 1; Sector < 16; ++Sector)
        QWidget::setTabOrder(Radios[Sector - 1], Radios[Sector]);
    return Grid;
}

QGroupBox* NewSectorBox(const char* Name, QWidget* Parent)
{
    auto* Box = new QGroupBox(QStringLiteral("S0"), Parent);
    Box->setObjectName(QLatin1String(Name));
    TMainForm::SetTag(Box, 0);
    return Box;
}

QGridLayout* NewSelectorTop(QVBoxLayout* PageLayout, QWidget* Grid, const QString& KeyCaption,
    QComboBox* KeyList, QLineEdit* KeyEdit, QWidget* Bevel)
{
    auto* Top = new QHBoxLayout;
    Top->setSpacing(8);
    Top->addWidget(Grid, 0, Qt::AlignTop);
    Top->addStretch(1);
    auto* Keys = new QGridLayout;
    Keys->setHorizontalSpacing(6);
    Keys->setVerticalSpacing(4);
    KeyList->setFixedWidth(130);
    KeyEdit->setFixedWidth(130);
    Keys->addWidget(NewLabel(KeyCaption, Bevel), 0, 0, Qt::AlignRight);
    Keys->addWidget(KeyList, 0, 1);
    Keys->addWidget(KeyEdit, 1, 1);
    Top->addLayout(Keys);
    PageLayout->addLayout(Top);
    return Keys;
}

QVBoxLayout* NewBlockPageColumn(QFrame* Bevel)
{
    auto* Layout = new QVBoxLayout(Bevel);
    Layout->setContentsMargins(4, 4, 4, 2);
    Layout->setSpacing(2);
    return Layout;
}

QGridLayout* NewBlockRows(QGroupBox* Box)
{
    auto* Rows = new QGridLayout(Box);
    Rows->setContentsMargins(6, 2, 6, 4);
    Rows->setHorizontalSpacing(4);
    Rows->setVerticalSpacing(2);
    return Rows;
}

void AddBlockRow(QGridLayout* Rows, int Row, QLineEdit* Data, std::initializer_list<QPushButton*> Buttons,
    QWidget* Box)
{
    Rows->addWidget(NewLabel(QStringLiteral("Blk%1").arg(Row), Box), Row, 0);
    Data->setMinimumWidth(204);
    Rows->addWidget(Data, Row, 1);
    int Column = 2;
    for (QPushButton* Button : Buttons)
        Rows->addWidget(Button, Row, Column++);
}

void OnClick(TMainForm* Form, QPushButton* Button, void (TMainForm::*Handler)())
{
    QObject::connect(Button, &QPushButton::clicked, Form, [Form, Handler] { (Form->*Handler)(); });
}

void OnSectorChosen(TMainForm* Form, const std::array<QRadioButton*, 16>& Radios,
    void (TMainForm::*Handler)(QObject*))
{
    for (QRadioButton* Radio : Radios)
        QObject::connect(Radio, &QRadioButton::toggled, Form, [Form, Radio, Handler](bool Checked) {
            if (Checked)
                (Form->*Handler)(Radio);
        });
}

} // namespace FormParts
