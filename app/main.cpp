// The program: one window on the instrument library.
#include "app/Reporting.h"
#include "app/frm1.h"
#include "sicl/UnavailableLibrary.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("siclquill"));

    // Until a transport is wired in, every library entry fails with a clear "not available".
    sicl::UnavailableLibrary library;
    PlatformBeep beep;
    frm1 window(library, beep);
    window.show();
    return QApplication::exec();
}
