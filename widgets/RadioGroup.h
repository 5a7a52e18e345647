#pragma once
// A group box of radio buttons laid out in columns, chosen by item index.

#include <QGroupBox>
#include <QStringList>

#include <vector>

class QButtonGroup;
class QRadioButton;

class TRadioGroup : public QGroupBox {
    Q_OBJECT
public:
    // Items fill the columns top to bottom, then left to right.
    TRadioGroup(const QString& Caption, const QStringList& Items, int Columns, QWidget* Parent = nullptr);

    int ItemIndex() const;        // -1 when no item is chosen
    void SetItemIndex(int Index); // emits Click when the index changes
    int Count() const { return int(FButtons.size()); }
    QRadioButton* Button(int Index) const { return FButtons.at(size_t(Index)); }

signals:
    // The chosen item changed (by the operator or by SetItemIndex), or the
    // operator clicked the item already chosen.
    void Click();

private:
    std::vector<QRadioButton*> FButtons;
    QButtonGroup* FGroup = nullptr;
    int FIndexAtPress = -1; // the chosen item when a button was last pressed
};
