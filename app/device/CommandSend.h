#pragma once

#include "app/WindowContext.h"

#include <QString>

#include <memory>

class DeviceExchange;
class QObject;

/// Sends the command box's text to the linked instrument, with the chosen terminators, and
/// sets the read termination character from the CR and LF boxes.
class CommandSend {
public:
    CommandSend(WindowContext& ctx, DeviceExchange& exchange);
    ~CommandSend();
    CommandSend(const CommandSend&) = delete;
    CommandSend& operator=(const CommandSend&) = delete;

    /// The Send operation.
    void cmdSend_Click();
    /// A key typed into the command box: character code 13 (Enter) runs Send.
    void combCmd_KeyPress(int key);
    /// Sets termination character 13 when CR is checked.
    void ckCR_Click();
    /// Sets termination character 10 when LF is checked.
    void ckLF_Click();

    /// Connects this unit's controls to its handlers, the command box's Enter key included.
    void wire();

    /// The result line shown when the command holds a character that has no 8-bit form.
    static QString notLatin1Message();

private:
    WindowContext& m_ctx;
    DeviceExchange& m_exchange;
    std::unique_ptr<QObject> m_enterFilter;
};
