#include "widgets/HyperLink.h"

#include <QDesktopServices>
#include <QHelpEvent>
#include <QMouseEvent>
#include <QToolTip>
#include <QUrl>

#include <stdexcept>

namespace {

QWidget* CheckedOwner(QWidget* Owner)
{
    // The link opens on behalf of a form; a label owned by anything else has
    // no window to act for.
    if (Owner == nullptr || !Owner->isWindow())
        throw std::invalid_argument("THyperLink: the owner must be a form");
    return Owner;
}

} // namespace

THyperLink::THyperLink(QWidget* Owner)
    : QLabel(CheckedOwner(Owner))
    , FOwner(Owner)
{
    setCursor(Qt::PointingHandCursor);
    QFont linkFont = font();
    linkFont.setPointSize(9);
    linkFont.setUnderline(false);
    setFont(linkFont);
    QPalette colours = palette();
    colours.setColor(QPalette::WindowText, QColor(0, 0, 255));
    setPalette(colours);
    Opener = [](const QString& Link) { QDesktopServices::openUrl(QUrl(Link)); };
}

void THyperLink::Click()
{
    if (OnClick) {
        OnClick();
        return;
    }
    LinkClick();
}

void THyperLink::LinkClick()
{
    if (URL.isEmpty())
        return;
    OpenLink(URL);
}

void THyperLink::OpenLink(const QString& Link)
{
    if (Opener)
        Opener(Link);
}

bool THyperLink::event(QEvent* Event)
{
    if (Event->type() == QEvent::ToolTip) {
        // The URL can change at any time, so the tip is taken from it when shown.
        auto* help = static_cast<QHelpEvent*>(Event);
        if (ShowHint && !URL.isEmpty())
            QToolTip::showText(help->globalPos(), URL, this);
        else
            QToolTip::hideText();
        return true;
    }
    return QLabel::event(Event);
}

void THyperLink::mousePressEvent(QMouseEvent* Event)
{
    if (Event->button() == Qt::LeftButton)
        FPressed = true;
    QLabel::mousePressEvent(Event);
}

void THyperLink::mouseReleaseEvent(QMouseEvent* Event)
{
    // A click is a left press and release both on the label, as for a button.
    const bool clicked = FPressed && Event->button() == Qt::LeftButton
        && rect().contains(Event->position().toPoint());
    if (Event->button() == Qt::LeftButton)
        FPressed = false;
    QLabel::mouseReleaseEvent(Event);
    if (clicked)
        Click();
}
