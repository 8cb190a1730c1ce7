#pragma once

#include "app/WindowContext.h"

#include <QString>

#include <optional>
#include <string>

namespace links {

/// The gateway used when the server box is empty.
inline constexpr const char* kDefaultServer = "127.0.0.1";
/// Why a server name is refused before any library call.
inline constexpr const char* kServerNotLatin1 =
    "the server name holds characters that cannot be sent";

/// "lan;vxi-11[" + server + "]:gpib": the address of the gateway's GPIB interface.
QString interfaceAddress(const QString& server);
/// "lan;vxi-11[" + server + "]:gpib," + the instrument address as sign-spaced number text.
QString deviceAddress(const QString& server, double address);

/// The numeric value of an instrument address text: an optional sign, digits with an optional
/// fraction, blanks around allowed. Nothing for any other text (empty, "abc", "7x").
std::optional<double> addressValue(const QString& text);
/// Sign-spaced number text of an address value; whole numbers carry no fraction.
QString signSpacedValue(double value);

/// The bytes of an address for the library. Raises (into the caller's error trap) when the
/// address holds a character outside Latin-1: converting it would send other bytes than the
/// user typed.
std::string addressBytes(const QString& address);

/// Closes the device session if there is one, hides the lock indicator and forgets the id.
/// A close that fails is reported with its own label and the id is forgotten all the same:
/// the session is unusable either way, and a stale id would be closed again later.
/// Returns false when the close failed.
bool closeDeviceSession(WindowContext& ctx);
/// The same for the interface session.
bool closeInterfaceSession(WindowContext& ctx);

} // namespace links
