// The window as drawn. Under Xvfb with SICLQUILL_SCREENSHOT_DIR set, the pictures are also
// saved there (docs/screenshots comes from this).
#include "app/HelpWindow.h"
#include "support/WindowFixture.h"

#include <QDir>
#include <QImage>
#include <QLabel>
#include <QPixmap>

namespace {

using Drawn = testsupport::WindowFixture;

void save(const QPixmap& shot, const char* name) {
    const QByteArray dir = qgetenv("SICLQUILL_SCREENSHOT_DIR");
    if (!dir.isEmpty()) {
        ASSERT_TRUE(shot.save(QDir(QString::fromLocal8Bit(dir)).filePath(QLatin1String(name))));
    }
}

TEST_F(Drawn, StartUpWindowShowsTheLogoAndNoIndicator) {
    const QPixmap shot = window->grab();
    ASSERT_EQ(shot.size() / shot.devicePixelRatio(), QSize(658, 581));
    save(shot, "window-start.png");
    const QImage image = shot.toImage();
    // The logo's blue-green background is drawn where the picture sits.
    const QColor logo = image.pixelColor(ui.ImageBrask->geometry().topLeft() + QPoint(2, 2));
    EXPECT_LT(logo.red(), 80);
    EXPECT_GT(logo.green() + logo.blue(), logo.red() * 2);
}

TEST_F(Drawn, LockIndicatorIsRedWhenShown) {
    linkInstrument(QStringLiteral("7"));
    ui.lbliLock->setVisible(true);
    ui.lblKeepAliveMsg->setVisible(true);
    window->reporting().errorReport(QStringLiteral("Read error"), QStringLiteral("I/O timeout"));
    const QPixmap shot = window->grab();
    save(shot, "window-linked.png");
    const QImage image = shot.toImage();
    const QColor corner = image.pixelColor(ui.lbliLock->geometry().topLeft() + QPoint(4, 4));
    EXPECT_GT(corner.red(), 150);
    EXPECT_LT(corner.green(), 80);
}

TEST_F(Drawn, HelpWindowShowsItsContents) {
    ui.cmdHelp->click();
    HelpWindow* help = window->helpWindow();
    ASSERT_NE(help, nullptr);
    const QPixmap shot = help->grab();
    save(shot, "help-window.png");
    EXPECT_FALSE(shot.isNull());
}

} // namespace
