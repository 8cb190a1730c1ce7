#pragma once

#include "app/Controls.h"
#include "app/Reporting.h"
#include "app/WindowContext.h"
#include "app/WindowState.h"
#include "sicl/InstrumentLibrary.h"
#include "sicl/Sicl32Module.h"

#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>

class DeviceExchange;
class DeviceOperations;
class ResponseRead;
class CommandSend;
class TestLoops;
class InterfaceOperations;
class LinkTimeout;
class ServerLink;
class InstrumentDiscovery;
class InstrumentLink;
class KeepAlive;
class HelpWindow;

/// The program's one window: every control, the shared state, the handler units and the shell
/// operations (start-up, Exit, Help).
class frm1 : public QWidget {
    Q_OBJECT
public:
    /// Client size in logical pixels; the window is not resizable.
    static constexpr int kWidth = 658;
    static constexpr int kHeight = 581;
    /// Help pages, as resource paths.
    static constexpr const char* kHelpContents = "qrc:/help/index.html";
    static constexpr const char* kHelpControls = "qrc:/help/controls.html";

    frm1(sicl::InstrumentLibrary& lib, BeepSink& beep, QWidget* parent = nullptr);
    ~frm1() override;

    Controls& controls() { return m_ui; }
    WindowState& state() { return m_state; }
    Reporting& reporting() { return m_report; }
    WindowContext& context() { return m_ctx; }

    DeviceExchange& deviceExchange() { return *m_exchange; }
    DeviceOperations& deviceOperations() { return *m_device; }
    ResponseRead& responseRead() { return *m_read; }
    CommandSend& commandSend() { return *m_send; }
    TestLoops& testLoops() { return *m_loops; }
    InterfaceOperations& interfaceOperations() { return *m_interface; }
    LinkTimeout& linkTimeout() { return *m_timeout; }
    ServerLink& serverLink() { return *m_serverLink; }
    InstrumentDiscovery& instrumentDiscovery() { return *m_discovery; }
    InstrumentLink& instrumentLink() { return *m_instrumentLink; }
    KeepAlive& keepAlive() { return *m_keepAlive; }

    /// What Exit does after closing the sessions; the default ends the application. Tests
    /// replace it so that Exit does not end the test process.
    void setExitAction(std::function<void()> action) { m_exitAction = std::move(action); }

    /// Closes the sessions (device first) and ends the program.
    void cmdExit_Click();
    /// Shows the help contents.
    void cmdHelp_Click();
    /// Shows the help page that describes the control holding the focus (the F1 key).
    void showContextHelp();
    /// The help window, once it has been opened; null before.
    HelpWindow* helpWindow() const;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    void setTabOrder();
    void createUnits();
    void wire();
    void startUp();
    /// Opens (or raises) the help window at `url`; a page that cannot be shown changes nothing.
    void showHelp(const QString& url);

    sicl::Sicl32Module m_sicl;
    Controls m_ui;
    WindowState m_state;
    Reporting m_report;
    WindowContext m_ctx;

    std::unique_ptr<DeviceExchange> m_exchange;
    std::unique_ptr<DeviceOperations> m_device;
    std::unique_ptr<ResponseRead> m_read;
    std::unique_ptr<CommandSend> m_send;
    std::unique_ptr<TestLoops> m_loops;
    std::unique_ptr<InterfaceOperations> m_interface;
    std::unique_ptr<LinkTimeout> m_timeout;
    std::unique_ptr<ServerLink> m_serverLink;
    std::unique_ptr<InstrumentDiscovery> m_discovery;
    std::unique_ptr<InstrumentLink> m_instrumentLink;
    std::unique_ptr<KeepAlive> m_keepAlive;

    std::function<void()> m_exitAction;
    QPointer<HelpWindow> m_help;
    bool m_timer2Started = false;
};
