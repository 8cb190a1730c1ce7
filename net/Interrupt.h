#pragma once
// A process-wide interrupt for the waits of net: Ctrl-C in a program ends the network wait in
// progress (or the next one to begin) at once instead of letting its deadline run out.

#include <chrono>

namespace net::interrupt {

/// Makes the wait in progress in TcpConnection (connect, send, receive), or the next one to
/// begin, end with TransportError::Kind::Interrupted; a wait already in progress only once the
/// interrupt is armed (arm()). Async-signal-safe: a SIGINT handler may call it.
///
/// The wait that reports the interrupt takes it back, so that the clean-up after the
/// interrupted call (the abort that frees a link, an unlock) can still use the network. With
/// waits in several threads at once, at least one of them ends.
void trigger() noexcept;

/// Withdraws a trigger that no wait has taken yet (a program does this before it starts the
/// next command).
void reset() noexcept;

/// True while a trigger is pending.
bool pending() noexcept;

/// Waits up to `span` (or for ever when negative) for a trigger, without taking it; returns
/// pending(). For a program's own pauses, which Ctrl-C must end as it ends network waits.
bool sleepFor(std::chrono::milliseconds span) noexcept;

/// For the waits: takes a pending trigger. True once per trigger.
bool take() noexcept;

/// For the waits: a descriptor that becomes readable when trigger() is called, to poll beside
/// a socket (so a trigger between a check and poll() is not missed). Readiness alone does not
/// mean a trigger is pending: call clearWake() then take().
int wakeFd() noexcept;

/// For the waits: the descriptor to poll beside a socket, or -1 (which poll() passes over)
/// while the interrupt is not armed. A program that never triggers pays nothing for it.
int watchedFd() noexcept;

/// Makes the descriptor, so that from now on the waits watch it: a program that may trigger
/// (a Ctrl-C handler, a test's other thread) arms first, before the waits it means to end.
void arm() noexcept;

/// For the waits: empties wakeFd() after it polled readable.
void clearWake() noexcept;

} // namespace net::interrupt
