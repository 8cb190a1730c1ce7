#pragma once

struct Controls;

namespace links {

/// How far the links reach. The stages build on each other, and each one adds controls that
/// can be used only while it lasts; the rest need no link (Create Link, Help, Exit, the boxes
/// the user types into, Display All Characters).
enum class LinkStage {
    NoLink,
    /// An interface session: Find Instruments, Send IFC, Bus Status, the two control signals
    /// and the time-out options.
    ServerLink,
    /// A device session: the device operations, Send, Read, the loop start buttons, the boxes
    /// that shape an exchange (CR, LF, Auto Lock) and those that shape the display of a
    /// response (Auto Query, Display Byte Count).
    InstrumentLink,
};

/// The window as it opens, with no link: Select Inst and Link, the controls of both link
/// stages and the time-out options are disabled, except that the two display boxes of the
/// response are usable (how an answer is shown can be chosen before any link).
void enableForStartUp(Controls& ui);

/// Disables the controls of every stage above `stage`; the controls of `stage` and below keep
/// their state. The loop stop buttons go with the instrument link. The time-out options stay
/// as they are: once a server link has enabled them, they stay enabled.
void leaveStagesAbove(Controls& ui, LinkStage stage);

/// Enables the controls that `stage` adds to the stage below it. An instrument link enables
/// the loop start buttons only: a loop's stop button is enabled by its start.
void enterStage(Controls& ui, LinkStage stage);

/// Sets the boxes that shape an exchange to what every new link starts with: Auto Lock off,
/// CR off, LF on. Each box whose value changes runs its own handler, so callers do this while
/// the old device session is still open.
void resetExchangeBoxes(Controls& ui);

/// Empties the instrument list and disables Select Inst and Link until a search fills the list
/// or the user types or picks an address. Emptying the list is no change of the box by the
/// user, even when it empties the box's text.
void emptyInstrumentList(Controls& ui);

} // namespace links
