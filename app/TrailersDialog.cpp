// The trailers a card write would change, each to be ticked or not, and
// those that lock something for good asked again.
#include "app/TrailersDialog.h"

#include "app/FormDialogs.h"
#include "session/CardWords.h"
#include "session/CardWork.h"

#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

std::optional<std::vector<TTrailerChange>> AskTrailers(
    QWidget* Parent, TFormDialogs& Dialogs, const std::vector<TTrailerChange>& Changes)
{
    QDialog dialog(Parent);
    dialog.setObjectName(QStringLiteral("CardTrailers"));
    dialog.setWindowTitle(QLatin1String(CardJobName(TCardJob::Write)));
    auto* layout = new QVBoxLayout(&dialog);
    auto* intro = new QLabel(QStringLiteral("These trailers of the dump differ from the card's. Only those ticked are "
                                            "written; the data blocks are written in any case."),
        &dialog);
    intro->setWordWrap(true);
    layout->addWidget(intro);
    auto* list = new QWidget;
    auto* rows = new QVBoxLayout(list);
    std::vector<QCheckBox*> boxes;
    for (const TTrailerChange& change : Changes) {
        // Unticked: a trailer is written only by the operator's own choice.
        auto* box = new QCheckBox(QStringLiteral("Write the trailer of sector %1").arg(change.Sector), list);
        box->setObjectName(QStringLiteral("CardTrailer%1").arg(change.Sector));
        auto* now = new QLabel(QString::fromStdString(TrailerChangeText(change)).trimmed(), list);
        now->setObjectName(QStringLiteral("CardTrailerText%1").arg(change.Sector));
        now->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
        now->setTextInteractionFlags(Qt::TextSelectableByMouse);
        rows->addWidget(box);
        rows->addWidget(now);
        boxes.push_back(box);
    }
    rows->addStretch(1);
    auto* scroll = new QScrollArea(&dialog);
    scroll->setObjectName(QStringLiteral("CardTrailerList"));
    scroll->setWidget(list);
    scroll->setWidgetResizable(true);
    layout->addWidget(scroll, 1);
    auto* buttons = new QDialogButtonBox(&dialog);
    QPushButton* write = buttons->addButton(QStringLiteral("Write"), QDialogButtonBox::AcceptRole);
    write->setObjectName(QStringLiteral("CardTrailersWrite"));
    buttons->addButton(QDialogButtonBox::Cancel)->setObjectName(QStringLiteral("CardTrailersCancel"));
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    dialog.resize(dialog.sizeHint().expandedTo(QSize(list->sizeHint().width() + 40, 480)));
    Dialogs.Exec(dialog);
    if (dialog.result() != QDialog::Accepted)
        return std::nullopt;
    std::vector<TTrailerChange> ticked;
    QStringList permanent;
    for (size_t i = 0; i < boxes.size(); ++i) {
        if (!boxes[i]->isChecked())
            continue;
        ticked.push_back(Changes[i]);
        if (const std::string words = PermanentText(Changes[i]); !words.empty())
            permanent << QString::fromStdString(words);
    }
    // A tick among many is easily given: what cannot be undone is asked
    // again, alone and in words.
    if (!permanent.isEmpty()
        && !Dialogs.Ask(Parent,
            QStringLiteral("These trailers cannot be undone once written:\n%1\nWrite them?").arg(permanent.join(QLatin1Char('\n'))),
            QLatin1String(CardJobName(TCardJob::Write))))
        return std::nullopt;
    return ticked;
}
