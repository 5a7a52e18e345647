#pragma once
// A label that opens its URL through the desktop when clicked.

#include <QLabel>
#include <QString>

#include <functional>

class THyperLink : public QLabel {
    Q_OBJECT
public:
    // The owner must be a form (a top-level window); any other owner makes
    // construction fail with std::invalid_argument.
    explicit THyperLink(QWidget* Owner);

    QString URL;
    // Replaces the link action when set (a design-time handler).
    std::function<void()> OnClick;
    // Opens a link; QDesktopServices::openUrl unless a test replaces it.
    std::function<void(const QString& Link)> Opener;

    void OpenLink(const QString& Link);

protected:
    void mouseReleaseEvent(QMouseEvent* Event) override;
};
