// Opening an adapter: the stream, the flavour, and a set-up that relies on nothing it saved.

#include "gateway/adapter/AdapterLink.h"

#include "net/TransportError.h"

namespace gateway::adapter {

using namespace std::chrono_literals;
using net::Deadline;

namespace {

/// How long one `++ver` probe waits for its answer before the next is sent.
constexpr auto kProbeInterval = 500ms;
/// The silence that shows the answers to earlier probes have all come.
constexpr auto kProbeQuiet = 200ms;

} // namespace

void AdapterLink::open(Deadline deadline) {
    close();
    m_name = m_config.device.kind == AdapterPlace::Kind::Serial ? m_config.device.path
                                                                : m_config.device.host;
    m_stream = openByteStream(m_config.device, m_config.baud, deadline);
    m_name = m_stream->name();
    m_address.reset();
    m_eoi.reset();
    m_perByteSet.reset();
    m_pending.clear();
    m_suspect = false;
    try {
        m_version = probeVersion(Deadline::after(m_config.probeWindow));
        m_flavour = identify(m_version);
        setUp();
    } catch (...) {
        close();
        throw;
    }
}

std::string AdapterLink::probeVersion(Deadline window) {
    // Opening a serial port resets an AR488 on most boards, and what is sent while it starts
    // is lost: ask again until it answers. The empty line first ends a half-typed line.
    for (;;) {
        queue("\r\n++ver\r\n");
        flush();
        const Deadline probe = Deadline::after(kProbeInterval).earlier(window);
        try {
            for (;;) {
                std::string line = readLine(probe);
                if (!line.empty() && errorLineOf(line) == ErrorLine::None) {
                    // Later probes may be answered too: their lines are read and dropped.
                    linesUntilQuiet(kProbeQuiet, Deadline::after(kProbeInterval * 4));
                    m_suspect = false;
                    return line;
                }
            }
        } catch (const AdapterSilent&) {
            if (window.expired()) {
                throw AdapterSilent(m_name + ": no answer to ++ver");
            }
        }
    }
}

Flavour AdapterLink::identify(const std::string& version) {
    if (m_config.flavour != Flavour::Auto) {
        return m_config.flavour;
    }
    const Flavour named = flavourOfVersion(version);
    if (named == Flavour::Prologix) {
        return named;
    }
    // An AR488's `++ver` can be made to say anything; `++ver real` always gives its firmware
    // string, and a Prologix does not know it (what it answers then has not been seen, so the
    // answer is read until the adapter falls silent).
    queue("++ver real\n");
    flush();
    for (const std::string& line : linesUntilQuiet(kProbeQuiet, replyBound())) {
        if (flavourOfVersion(line) == Flavour::Ar488) {
            return Flavour::Ar488;
        }
    }
    throw std::runtime_error(m_name + ": not a known ++ adapter (it says \"" + version + "\")");
}

void AdapterLink::setUp() {
    // Every setting is made here, none taken from what the adapter saved: a Prologix saves each
    // change unless told not to first, and an AR488 starts with EOI off, CR LF appended and a
    // read that ends at CR LF. EOI ends every read (`++eor 7` on an AR488 too), nothing is
    // appended to a message, and an EOI adds the marker the read framing looks for.
    std::string text;
    if (m_flavour == Flavour::Prologix) {
        text += "++savecfg 0\n";
    }
    text += "++mode 1\n++auto 0\n++eoi 1\n++eos 3\n";
    if (m_flavour == Flavour::Ar488) {
        text += "++eor 7\n";
    }
    text += "++eot_enable 1\n++eot_char " + std::to_string(m_config.marker) + "\n";
    queue(text);
    ensurePerByte(m_config.perByte);
    queue("++ver\n");
    flush();
    for (const std::string& line : linesUntil(m_version, replyBound(4))) {
        if (m_config.log) {
            m_config.log("adapter " + m_name + ": its set-up was answered: " + line);
        }
    }
    m_eoi = true;
    m_address.reset();
}

} // namespace gateway::adapter
