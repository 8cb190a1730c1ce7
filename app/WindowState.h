#pragma once

#include "sicl/InstrumentLibrary.h"

#include <QString>

#include <cstdint>

/// The state that the window's handlers share. The window owns the one instance; every
/// handler means this one value when it uses a name.
struct WindowState {
    sicl::SessionId hIntf = 0; ///< interface session to the gateway; 0 = no server link
    sicl::SessionId hDev = 0;  ///< device session to the linked instrument; 0 = none
    QString linkAddr;          ///< address of the session opened last (discovery's command bytes)
    QString serverName;        ///< server text of the current server link
    std::int16_t Ctlraddr = 0; ///< the interface's own GPIB address
    QString Device = QStringLiteral("4"); ///< instrument address text of the last instrument link
    std::int16_t pad = 0;                 ///< primary address derived from Device
    std::int16_t sad = 0;                 ///< secondary address derived from Device
    QString NL = QStringLiteral("\r\n");  ///< the only line break used in reports
    QString readBuf = QString(100, QLatin1Char(' ')); ///< template of every read buffer
    std::int16_t Sendlock = 0;   ///< the device is locked for the current exchange
    std::int16_t MsgSentFlg = 0; ///< an operation completed since the last keep-alive tick
    std::int16_t IDNTestFlg = 0; ///< the *IDN? loop is on
    std::int16_t CMDloopFlg = 0; ///< the command loop is on
    long long LpCount = 0;       ///< loop passes counted
};
