// The program: one window on the instrument library.
#include "app/Reporting.h"
#include "app/frm1.h"
#include "vxi11/Vxi11Library.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("siclquill"));

    // The instrument library speaks VXI-11 to LAN/GPIB gateways.
    vxi11::Vxi11Library library;
    PlatformBeep beep;
    frm1 window(library, beep);
    window.show();
    return QApplication::exec();
}
