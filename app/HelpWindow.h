#pragma once

#include <QUrl>
#include <QWidget>

class QKeyEvent;
class QTextBrowser;

/// The program's own help: a separate, non-modal window that shows the HTML pages shipped in
/// the program's resources, with links between them and back/forward/contents buttons.
class HelpWindow : public QWidget {
    Q_OBJECT
public:
    explicit HelpWindow(QWidget* owner = nullptr);

    /// Shows `page` (a qrc: URL, optionally with an #anchor), then shows and raises the window.
    void showPage(const QUrl& page);
    /// The page on show.
    QUrl currentPage() const;
    /// The browser, for tests.
    QTextBrowser* browser() const { return m_browser; }

protected:
    /// Escape closes the window, as it closes a dialog.
    void keyPressEvent(QKeyEvent* event) override;

private:
    QTextBrowser* m_browser;
};
