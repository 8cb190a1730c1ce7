#include "app/HelpWindow.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPushButton>
#include <QTextBrowser>
#include <QVBoxLayout>

HelpWindow::HelpWindow(QWidget* owner)
    // A window of its own (not a dialog): it never blocks the main window.
    : QWidget(owner, Qt::Window), m_browser(new QTextBrowser(this)) {
    setObjectName(QStringLiteral("helpWindow"));
    setWindowTitle(QStringLiteral("SICL Quill Help"));
    setWindowModality(Qt::NonModal);
    resize(720, 600);

    m_browser->setObjectName(QStringLiteral("helpBrowser"));
    m_browser->setOpenExternalLinks(false);
    m_browser->setSearchPaths({QStringLiteral(":/help")});

    auto* contents = new QPushButton(QStringLiteral("Contents"), this);
    auto* back = new QPushButton(QStringLiteral("Back"), this);
    auto* forward = new QPushButton(QStringLiteral("Forward"), this);
    auto* closeButton = new QPushButton(QStringLiteral("Close"), this);
    for (QPushButton* b : {contents, back, forward, closeButton}) {
        b->setAutoDefault(true); // Enter and Return press the focused button, as Space does
    }
    back->setEnabled(false);
    forward->setEnabled(false);
    connect(contents, &QPushButton::clicked, this,
            [this] { m_browser->setSource(QUrl(QStringLiteral("qrc:/help/index.html"))); });
    connect(back, &QPushButton::clicked, m_browser, &QTextBrowser::backward);
    connect(forward, &QPushButton::clicked, m_browser, &QTextBrowser::forward);
    connect(m_browser, &QTextBrowser::backwardAvailable, back, &QPushButton::setEnabled);
    connect(m_browser, &QTextBrowser::forwardAvailable, forward, &QPushButton::setEnabled);
    connect(closeButton, &QPushButton::clicked, this, &QWidget::close);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(contents);
    buttons->addWidget(back);
    buttons->addWidget(forward);
    buttons->addStretch(1);
    buttons->addWidget(closeButton);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(buttons);
    layout->addWidget(m_browser, 1);
}

void HelpWindow::showPage(const QUrl& page) {
    m_browser->setSource(page);
    show();
    raise();
    activateWindow();
}

QUrl HelpWindow::currentPage() const {
    return m_browser->source();
}

void HelpWindow::keyPressEvent(QKeyEvent* event) {
    // The browser and the buttons leave Escape to the window.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}
