#pragma once

#include "sicl/SiclError.h"

#include <QString>

#include <exception>
#include <functional>
#include <optional>
#include <string>

struct Controls;
struct WindowState;

/// Where the beep goes: the platform beep in the program, a counter in tests.
class BeepSink {
public:
    virtual ~BeepSink() = default;
    virtual void beep() = 0;
};

/// The platform's default beep.
class PlatformBeep final : public BeepSink {
public:
    void beep() override;
};

/// The few steps through which every operation tells the user what happened.
class Reporting {
public:
    Reporting(Controls& ui, WindowState& state, BeepSink& beep)
        : m_ui(ui), m_state(state), m_beep(beep) {}

    /// Hides the error box; its text stays.
    void clearError();
    /// Shows the error box with the text it holds.
    void showError();
    /// label + NL + description + " - Retry" in the error box, shown, one beep.
    void errorReport(const QString& label, const QString& description);
    /// The message in the error box, shown; no beep (the caller beeps where it must).
    void errorNotice(const QString& message);
    /// Replaces the whole response box text.
    void resultLine(const QString& message);
    /// Response box text := its text + NL + addition.
    void appendedLine(const QString& addition);
    /// A result line painted at once, before a blocking call.
    void progressLine(const QString& message);
    /// The default beep, once.
    void beep();

    /// Runs `body` under an error trap: a SiclError (or any other exception) that escapes it
    /// ends the body and makes one error report with `label`. Returns true when the body ran
    /// to its end.
    bool trap(const QString& label, const std::function<void()>& body);

    /// Puts the report of a step whose failure text is its label alone (label + NL +
    /// " - Retry") into the error box without showing it. A test loop names each step this way
    /// before it runs it; the box is shown only if that step fails.
    void prepareReport(const QString& label);
    /// Runs `body` under an error trap whose report is the one prepared in the error box: a
    /// failure that escapes the body ends it, shows the box as it stands and beeps once.
    /// Returns true when the body ran to its end.
    bool trapPrepared(const std::function<void()>& body);

private:
    Controls& m_ui;
    WindowState& m_state;
    BeepSink& m_beep;
};

/// Blocks the thread for `seconds` on a monotonic clock without letting any event run.
void waitSecs(double seconds);

/// Plain number text: the decimal digits, a minus sign first when negative.
QString plainNumber(long long value);
/// Sign-spaced number text: as plain, but a number that is not negative gets one blank in
/// front, in the place of its sign.
QString signSpaced(long long value);

/// The 8-bit bytes of `text` when every character fits in Latin-1; nothing otherwise.
std::optional<std::string> toLatin1Bytes(const QString& text);
/// The bytes shown one for one as Latin-1 characters (NUL bytes included).
QString fromLatin1Bytes(const std::string& bytes);
