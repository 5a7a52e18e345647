#include "app/FormParts.h"

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
#include <QVariant>

namespace FormParts {

const QStringList KeySourceItems{
    QStringLiteral("By KEYA"), QStringLiteral("By KEYB"),
    QStringLiteral("By Input KEYA"), QStringLiteral("By Input KEYB")};

QLabel* NewLabel(const QString& Caption, QWidget* Parent)
{
    auto* label = new QLabel(Caption, Parent);
    label->setFixedHeight(RowHeight);
    return label;
}

QPushButton* NewButton(const char* Name, const QString& Caption, QWidget* Parent, bool Enabled)
{
    auto* button = new QPushButton(Caption, Parent);
    button->setObjectName(QLatin1String(Name));
    button->setFixedHeight(RowHeight + 2);
    button->setEnabled(Enabled);
    return button;
}

QLineEdit* NewEdit(const char* Name, int MaxLength, QWidget* Parent)
{
    auto* edit = new QLineEdit(Parent);
    edit->setObjectName(QLatin1String(Name));
    if (MaxLength > 0)
        edit->setMaxLength(MaxLength);
    edit->setFixedHeight(RowHeight);
    return edit;
}

QComboBox* NewList(const char* Name, const QStringList& Items, int Index, QWidget* Parent)
{
    auto* list = new QComboBox(Parent);
    list->setObjectName(QLatin1String(Name));
    list->setEditable(false);
    list->addItems(Items);
    list->setCurrentIndex(Index);
    list->setFixedHeight(RowHeight);
    return list;
}

QFrame* NewBevel(QWidget* Page, const char* Name)
{
    auto* pageLayout = new QVBoxLayout(Page);
    pageLayout->setContentsMargins(2, 2, 2, 2);
    auto* bevel = new QFrame(Page);
    bevel->setObjectName(QLatin1String(Name));
    bevel->setFrameShape(QFrame::Panel);
    bevel->setFrameShadow(QFrame::Sunken);
    pageLayout->addWidget(bevel);
    return bevel;
}

QWidget* NewSectorGrid(QWidget* Parent, const std::array<const char*, 16>& Names,
    std::array<QRadioButton*, 16>& Radios)
{
    auto* grid = new QWidget(Parent);
    auto* layout = new QGridLayout(grid);
    layout->setContentsMargins(4, 0, 4, 0);
    layout->setHorizontalSpacing(6);
    layout->setVerticalSpacing(0);
    auto* group = new QButtonGroup(grid);
    group->setExclusive(true);
    for (int sector = 0; sector < 16; ++sector) {
        auto* radio = new QRadioButton(QStringLiteral("S%1").arg(sector), grid);
        radio->setObjectName(QLatin1String(Names[size_t(sector)]));
        radio->setFixedHeight(18);
        SetTag(radio, sector);
        group->addButton(radio, sector);
        layout->addWidget(radio, sector / 4, sector % 4);
        Radios[size_t(sector)] = radio;
    }
    Radios[0]->setChecked(true);
    for (size_t sector = 1; sector < 16; ++sector)
        QWidget::setTabOrder(Radios[sector - 1], Radios[sector]);
    return grid;
}

QGroupBox* NewSectorBox(const char* Name, QWidget* Parent)
{
    auto* box = new QGroupBox(QStringLiteral("S0"), Parent);
    box->setObjectName(QLatin1String(Name));
    SetTag(box, 0);
    return box;
}

QGridLayout* NewSelectorTop(QVBoxLayout* PageLayout, QWidget* Grid, const QString& KeyCaption,
    QComboBox* KeyList, QLineEdit* KeyEdit, QWidget* Bevel)
{
    auto* top = new QHBoxLayout;
    top->setSpacing(8);
    top->addWidget(Grid, 0, Qt::AlignTop);
    top->addStretch(1);
    auto* keys = new QGridLayout;
    keys->setHorizontalSpacing(6);
    keys->setVerticalSpacing(4);
    KeyList->setFixedWidth(130);
    KeyEdit->setFixedWidth(130);
    keys->addWidget(NewLabel(KeyCaption, Bevel), 0, 0, Qt::AlignRight);
    keys->addWidget(KeyList, 0, 1);
    keys->addWidget(KeyEdit, 1, 1);
    top->addLayout(keys);
    PageLayout->addLayout(top);
    return keys;
}

QVBoxLayout* NewBlockPageColumn(QFrame* Bevel)
{
    auto* layout = new QVBoxLayout(Bevel);
    layout->setContentsMargins(4, 4, 4, 2);
    layout->setSpacing(2);
    return layout;
}

QGridLayout* NewBlockRows(QGroupBox* Box)
{
    auto* rows = new QGridLayout(Box);
    rows->setContentsMargins(6, 2, 6, 4);
    rows->setHorizontalSpacing(4);
    rows->setVerticalSpacing(2);
    return rows;
}

void AddBlockRow(QGridLayout* Rows, int Row, QLineEdit* Data, std::initializer_list<QPushButton*> Buttons,
    QWidget* Box)
{
    Rows->addWidget(NewLabel(QStringLiteral("Blk%1").arg(Row), Box), Row, 0);
    Data->setMinimumWidth(204);
    Rows->addWidget(Data, Row, 1);
    int column = 2;
    for (QPushButton* button : Buttons)
        Rows->addWidget(button, Row, column++);
}

int Tag(const QObject* Control) { return Control->property("Tag").toInt(); }
void SetTag(QObject* Control, int Value) { Control->setProperty("Tag", Value); }

} // namespace FormParts
