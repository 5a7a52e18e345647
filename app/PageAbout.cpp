// The page "About": the program's name, version and links, and where this
// user's records and ledger are kept.
#include "app/FormParts.h"
#include "app/MainForm.h"
#include "app/Pages.h"
#include "app/Version.h"
#include "records/Ledger.h"
#include "records/Records.h"
#include "widgets/HyperLink.h"

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

#include <utility>

using namespace FormParts;

void BuildAboutPage(TMainForm* F)
{
    QFrame* bevel = NewBevel(F->TabSheet7, "Bevel7");
    auto* layout = new QVBoxLayout(bevel);
    layout->setContentsMargins(10, 24, 10, 24);
    layout->setSpacing(6);

    auto* title = new QLabel(QStringLiteral("Orvelle"), bevel);
    title->setObjectName(QStringLiteral("LbTitle"));
    QFont titleFont = F->font();
    titleFont.setBold(true);
    titleFont.setPixelSize(16);
    title->setFont(titleFont);
    auto* version = new QLabel(QStringLiteral("V") + QLatin1String(OrvelleVersion), bevel);
    version->setObjectName(QStringLiteral("LbVersion"));

    // The labels belong to the form (they open links on its behalf) and are
    // then placed on the page.
    QFont linkFont;
    linkFont.setFamilies({QStringLiteral("MS Sans Serif")});
    linkFont.setPixelSize(12);
    F->HyperLink1 = new THyperLink(F);
    F->HyperLink1->setObjectName(QStringLiteral("HyperLink1"));
    F->HyperLink1->URL = QStringLiteral("https://orvelle.example/");
    F->HyperLink1->setText(QStringLiteral("https://orvelle.example/"));
    F->HyperLink2 = new THyperLink(F);
    F->HyperLink2->setObjectName(QStringLiteral("HyperLink2"));
    F->HyperLink2->URL = QStringLiteral("mailto:support@orvelle.example");
    F->HyperLink2->setText(QStringLiteral("support@orvelle.example"));
    for (THyperLink* link : {F->HyperLink1, F->HyperLink2}) {
        link->setFont(linkFont);
        link->setParent(bevel);
    }

    layout->addWidget(title, 0, Qt::AlignHCenter);
    layout->addWidget(version, 0, Qt::AlignHCenter);
    layout->addStretch(1);
    layout->addWidget(F->HyperLink1, 0, Qt::AlignHCenter);
    layout->addWidget(F->HyperLink2, 0, Qt::AlignHCenter);
    layout->addStretch(1);

    // The folders as this user's environment resolves them, to copy from; a
    // long path is cut at the page's edge, and its tooltip holds it whole.
    const std::pair<const char*, QString> places[] = {
        {"AboutRecords", QStringLiteral("Records (journal, run reports): %1").arg(StateDirectory())},
        {"AboutLedger", QStringLiteral("Ledger: %1").arg(DefaultLedgerFile())}};
    for (const auto& [name, text] : places) {
        auto* place = new QLabel(text, bevel);
        place->setObjectName(QLatin1String(name));
        place->setTextFormat(Qt::PlainText);
        place->setTextInteractionFlags(Qt::TextSelectableByMouse);
        place->setToolTip(text);
        place->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        layout->addWidget(place);
    }
}
