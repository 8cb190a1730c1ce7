#pragma once
// The functions that run the commands of the table, by the file that holds them.

#include "cli/CommandTable.h"
#include "sicl/ListenerScan.h"

#include <vector>

namespace cli {

// DeviceCommands.cpp: one instrument.
int runQuery(Context& c);
int runWrite(Context& c);
int runRead(Context& c);
int runSpoll(Context& c);
int runClear(Context& c);
int runTrigger(Context& c);
int runLocal(Context& c);
int runRemote(Context& c);
int runLock(Context& c);
int runUnlock(Context& c);

// BusCommands.cpp: the gateway's interface and the bus.
int runFind(Context& c);
int runCensus(Context& c);
int runStatus(Context& c);
int runIfc(Context& c);
int runRen(Context& c);
int runAtn(Context& c);
int runCmd(Context& c);

// LoopCommand.cpp, SrqCommand.cpp, Discover.cpp.
int runLoop(Context& c);
int runSrq(Context& c);
int runDiscover(Context& c);

// ShellCommands.cpp: the shell's own.
int runUse(Context& c);
int runQ(Context& c);
int runW(Context& c);
int runR(Context& c);
int runHelp(Context& c);
int runTimeout(Context& c);
int runTerm(Context& c);
int runSleep(Context& c);
int runSource(Context& c);
int runExit(Context& c);

// Steps the shell's short forms share with the commands (DeviceCommands.cpp).
int queryOn(Context& c, const DeviceAddress& device, const std::string& text);
int writeOn(Context& c, const DeviceAddress& device, const std::string& text);
int readOn(Context& c, const DeviceAddress& device);

// The bus scan find, census and srq share (BusCommands.cpp): the listeners the interface
// finds, secondary addresses too with --secondary.
std::vector<sicl::Listener> scanBus(Context& c);

} // namespace cli
