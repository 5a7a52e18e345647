// The page "About": the program's name, version and links.
#include "app/FormParts.h"
#include "app/MainForm.h"
#include "app/Pages.h"
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

using namespace FormParts;

void BuildAboutPage(TMainForm* F)
{
    QFrame* Bevel = NewBevel(F->TabSheet7, "Bevel7");
    auto* Layout = new QVBoxLayout(Bevel);
    Layout->setContentsMargins(10, 24, 10, 24);
    Layout->setSpacing(6);

    auto* Title = new QLabel(QStringLiteral("Orvelle"), Bevel);
    Title->setObjectName(QStringLiteral("LbTitle"));
    QFont TitleFont = F->font();
    TitleFont.setBold(true);
    TitleFont.setPixelSize(16);
    Title->setFont(TitleFont);
    auto* Version = new QLabel(QStringLiteral("V1.2"), Bevel);
    Version->setObjectName(QStringLiteral("LbVersion"));

    // The labels belong to the form (they open links on its behalf) and are
    // then placed on the page.
    QFont LinkFont;
    LinkFont.setFamilies({QStringLiteral("MS Sans Serif")});
    LinkFont.setPixelSize(12);
    F->HyperLink1 = new THyperLink(F);
    F->HyperLink1->setObjectName(QStringLiteral("HyperLink1"));
    F->HyperLink1->URL = QStringLiteral("https://orvelle.example/");
    F->HyperLink1->setText(QStringLiteral("https://orvelle.example/"));
    F->HyperLink2 = new THyperLink(F);
    F->HyperLink2->setObjectName(QStringLiteral("HyperLink2"));
    F->HyperLink2->URL = QStringLiteral("mailto:support@orvelle.example");
    F->HyperLink2->setText(QStringLiteral("support@orvelle.example"));
    for (THyperLink* Link : {F->HyperLink1, F->HyperLink2}) {
        Link->setFont(LinkFont);
        Link->setParent(Bevel);
    }

    Layout->addWidget(Title, 0, Qt::AlignHCenter);
    Layout->addWidget(Version, 0, Qt::AlignHCenter);
    Layout->addStretch(1);
    Layout->addWidget(F->HyperLink1, 0, Qt::AlignHCenter);
    Layout->addWidget(F->HyperLink2, 0, Qt::AlignHCenter);
    Layout->addStretch(1);
}
