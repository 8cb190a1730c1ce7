#pragma once
// The gateway commands that device_docmd carries to the bus: send command bytes, bus status,
// ATN, REN, the bus address and IFC, with their data in the client's byte order and element
// size. Not thread-safe: run with the bus locked.

#include "gateway/Bus.h"
#include "vxi11/codec/DocmdMessages.h"

namespace gateway {

/// Runs the gateway command `a` on `bus` and fills `r` (its error and data_out).
void runDocmd(Bus& bus, const vxi11::DeviceDocmdParms& a, vxi11::DeviceDocmdResp& r);

} // namespace gateway
