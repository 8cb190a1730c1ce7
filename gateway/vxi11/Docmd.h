#pragma once
// The gateway commands that device_docmd carries to the bus: send command bytes, bus status,
// ATN, REN, the bus address and IFC, with their data in the client's byte order and element
// size, carried out on the bus through the device seam.

#include "gateway/devices/DeviceBus.h"
#include "vxi11/codec/DocmdMessages.h"

namespace gateway {

/// Runs the gateway command `a` in `turn` and fills `r` (its error and data_out); false when
/// the call is to get no reply (its client went away).
bool runDocmd(BusTurn& turn, const vxi11::DeviceDocmdParms& a, vxi11::DeviceDocmdResp& r);

} // namespace gateway
