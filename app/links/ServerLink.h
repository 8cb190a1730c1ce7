#pragma once

#include "app/WindowContext.h"

class LinkTimeout;

/// The server link: the interface session to the gateway's GPIB interface.
class ServerLink {
public:
    ServerLink(WindowContext& ctx, LinkTimeout& timeout) : m_ctx(ctx), m_timeout(timeout) {}

    /// Create Link: drops every link, opens the interface session to the server of combSrvrs
    /// (the default gateway when the box is empty) and enables the interface controls.
    void cmdLink_Click();

    /// Connects Create Link to its handler.
    void wire();

private:
    WindowContext& m_ctx;
    LinkTimeout& m_timeout;
};
