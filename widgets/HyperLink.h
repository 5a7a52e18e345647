#pragma once
// A label that opens its URL through the desktop when clicked: a web address
// in the browser, a mail address in the mail program.

#include <QLabel>
#include <QPointer>
#include <QString>

#include <functional>

class THyperLink : public QLabel {
    Q_OBJECT
public:
    // The owner must be a form (a top-level window); any other owner makes
    // construction fail with std::invalid_argument. The label starts as a
    // child of its owner and may be moved into a page's layout afterwards.
    explicit THyperLink(QWidget* Owner);

    // The link to open; empty means clicks do nothing. Read at each click.
    QString URL;
    // Tooltips (the link itself) are shown while this is true.
    bool ShowHint = true;
    // Replaces the link action when set (a handler the form assigns).
    std::function<void()> OnClick;
    // Opens a link; the desktop's open action unless a test replaces it.
    std::function<void(const QString& Link)> Opener;

    // The form the label was made for.
    QWidget* Owner() const { return FOwner; }

    // What a click does: OnClick when set, else the link action.
    void Click();
    // Hands Link to the opener; whether it could be opened is not examined.
    void OpenLink(const QString& Link);

protected:
    bool event(QEvent* Event) override;
    void mousePressEvent(QMouseEvent* Event) override;
    void mouseReleaseEvent(QMouseEvent* Event) override;

private:
    void LinkClick();

    QPointer<QWidget> FOwner;
    bool FPressed = false;
};
