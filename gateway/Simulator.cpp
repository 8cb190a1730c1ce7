#include "gateway/Simulator.h"

#include "gateway/Bus.h"
#include "gateway/DeviceName.h"
#include "gateway/Net.h"
#include "vxi11/codec/Messages.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <list>
#include <map>
#include <mutex>
#include <thread>
#include <type_traits>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace gateway {

using namespace vxi11;
using namespace std::chrono_literals;

namespace {

enum class Service { Portmap, Core, Abort };

// Milliseconds from the wire as a deadline; 0xFFFFFFFF and other huge values simply lie far
// in the future (about 49 days), which is what clients mean by "no time-out".
Clock::time_point deadlineAfter(std::uint32_t ms) {
    return Clock::now() + std::chrono::milliseconds(ms);
}

const char* coreProcName(std::uint32_t p) {
    switch (p) {
    case proc::kNull:
        return "null";
    case proc::kCreateLink:
        return "create_link";
    case proc::kDeviceWrite:
        return "device_write";
    case proc::kDeviceRead:
        return "device_read";
    case proc::kDeviceReadStb:
        return "device_readstb";
    case proc::kDeviceTrigger:
        return "device_trigger";
    case proc::kDeviceClear:
        return "device_clear";
    case proc::kDeviceRemote:
        return "device_remote";
    case proc::kDeviceLocal:
        return "device_local";
    case proc::kDeviceLock:
        return "device_lock";
    case proc::kDeviceUnlock:
        return "device_unlock";
    case proc::kDeviceEnableSrq:
        return "device_enable_srq";
    case proc::kDeviceDocmd:
        return "device_docmd";
    case proc::kDestroyLink:
        return "destroy_link";
    case proc::kCreateIntrChan:
        return "create_intr_chan";
    case proc::kDestroyIntrChan:
        return "destroy_intr_chan";
    default:
        return "unknown";
    }
}

} // namespace

class Simulator::Impl {
public:
    explicit Impl(SimulatorConfig config)
        : cfg(std::move(config)), bus(cfg.instruments, cfg.busAddress, cfg.limits.maxQueueBytes) {
        if (cfg.limits.maxRecordSize == 0)
            cfg.limits.maxRecordSize = 2 * std::size_t{cfg.limits.maxRecvSize} + 2048;
        cfg.limits.maxRecvSize = std::max<std::uint32_t>(cfg.limits.maxRecvSize, 1024);
        cfg.limits.maxReadChunk = std::max<std::uint32_t>(cfg.limits.maxReadChunk, 1);
    }

    struct Conn {
        std::uint64_t id = 0;
        int fd = -1;
        Service service = Service::Core;
        std::uint32_t peer = 0; // the client's IPv4 address, network byte order
        std::thread thread;
        std::atomic<bool> done{false};
        int intrFd = -1; // interrupt channel back to the client (guarded by mu)
    };

    struct Link {
        std::int32_t lid = 0;
        std::uint64_t conn = 0;
        DeviceName name;
        std::string key;              // canonical device name, also the lock key
        Instrument* device = nullptr; // null: valid address, nothing present
        bool busy = false;            // a call is in progress on the link
        bool abortRequested = false;
        bool srqEnabled = false;
        xdr::Bytes srqHandle;
    };

    struct Fault {
        std::optional<std::int32_t> lid;
        bool drop = false;
        std::int32_t error = 0;
    };

    // What to do with a handled record.
    struct Outcome {
        xdr::Bytes reply; // empty: send nothing
        bool drop = false;
    };

    enum class WaitEnd { Ready, Timeout, Aborted, Gone };

    SimulatorConfig cfg;
    mutable std::mutex mu;
    std::condition_variable cv;
    Bus bus;
    bool stopping = false;
    bool lastSrq = false; // SRQ as last seen, to send device_intr_srq on its rising edge
    std::uint32_t intrXid = 0;
    bool started = false;
    int wake[2] = {-1, -1};
    int pmTcp = -1, pmUdp = -1, coreFd = -1, abortFd = -1;
    std::uint16_t pmPort = 0, corePortNum = 0, abortPortNum = 0;
    std::thread acceptThread, udpThread;
    std::list<std::unique_ptr<Conn>> conns;
    std::uint64_t nextConnId = 1;
    std::map<std::int32_t, Link> links;
    std::int32_t nextLid = 1;
    std::map<std::string, std::int32_t> locks;
    std::vector<DestroyedLink> destroyed;
    std::vector<pmap::Mapping> mappings;
    std::vector<Fault> faults;
    std::atomic<std::uint64_t> calls{0};

    // ---- start / stop --------------------------------------------------------------------

    bool start(std::string* error) {
        if (started) {
            if (error)
                *error = "already started";
            return false;
        }
        if (::pipe2(wake, O_CLOEXEC) != 0) {
            if (error)
                *error = "pipe failed";
            return false;
        }
        if (!cfg.registerWithSystemPortmapper && !bindPortmapper(error)) {
            closeAll();
            return false;
        }
        coreFd = net::listenTcp(cfg.listenAddress, 0, error);
        abortFd = coreFd >= 0 ? net::listenTcp(cfg.listenAddress, 0, error) : -1;
        if (coreFd < 0 || abortFd < 0) {
            closeAll();
            return false;
        }
        corePortNum = net::localPort(coreFd);
        abortPortNum = net::localPort(abortFd);
        if (cfg.registerWithSystemPortmapper) {
            pmPort = pmap::kDefaultPort;
            if (!registerWithSystem(true)) {
                if (error)
                    *error = "the system portmapper on 127.0.0.1:111 refused the registration "
                             "or does not run";
                closeAll();
                return false;
            }
        } else {
            mappings = {{pmap::kProgram, pmap::kVersion, pmap::kProtoTcp, pmPort},
                        {pmap::kProgram, pmap::kVersion, pmap::kProtoUdp, pmPort},
                        {kDeviceCore, kDeviceVersion, pmap::kProtoTcp, corePortNum},
                        {kDeviceAsync, kDeviceVersion, pmap::kProtoTcp, abortPortNum}};
        }
        started = true;
        acceptThread = std::thread([this] { acceptLoop(); });
        if (pmUdp >= 0)
            udpThread = std::thread([this] { udpLoop(); });
        return true;
    }

    bool bindPortmapper(std::string* error) {
        // TCP and UDP share the port number; with port 0 the UDP side may find the number
        // the kernel chose for TCP taken, so try a few times.
        for (int attempt = 0; attempt < 20; ++attempt) {
            pmTcp = net::listenTcp(cfg.listenAddress, cfg.portmapperPort, error);
            if (pmTcp < 0)
                return false;
            pmPort = net::localPort(pmTcp);
            pmUdp = net::bindUdp(cfg.listenAddress, pmPort, error);
            if (pmUdp >= 0)
                return true;
            net::closeFd(pmTcp);
            if (cfg.portmapperPort != 0)
                return false;
        }
        return false;
    }

    bool registerWithSystem(bool set) {
        bool ok = true;
        std::uint32_t xid = 0x51C10000;
        for (auto [prog, port] :
             {std::pair{kDeviceCore, corePortNum}, std::pair{kDeviceAsync, abortPortNum}}) {
            const pmap::Mapping m{prog, kDeviceVersion, pmap::kProtoTcp, port};
            // Clear a stale entry first, as a restarted server would leave one behind.
            net::tcpCall("127.0.0.1", pmap::kDefaultPort, encodeCallFor<pmap::Unset>(++xid, m), 2s);
            if (!set)
                continue;
            const auto reply = net::tcpCall("127.0.0.1", pmap::kDefaultPort,
                                            encodeCallFor<pmap::Set>(++xid, m), 2s);
            const auto header = reply ? rpc::decodeReply(*reply) : std::nullopt;
            const auto result = header && header->success()
                                    ? decodeResultFor<pmap::Set>(header->results)
                                    : std::nullopt;
            ok = ok && result && result->value;
        }
        return ok;
    }

    void closeAll() {
        net::closeFd(pmTcp);
        net::closeFd(pmUdp);
        net::closeFd(coreFd);
        net::closeFd(abortFd);
        net::closeFd(wake[0]);
        net::closeFd(wake[1]);
    }

    void stop() {
        {
            std::lock_guard lk(mu);
            if (!started || stopping)
                return;
            stopping = true;
        }
        cv.notify_all();
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake[1], &byte, 1);
        if (acceptThread.joinable())
            acceptThread.join();
        if (udpThread.joinable())
            udpThread.join();
        std::list<std::unique_ptr<Conn>> all;
        {
            std::lock_guard lk(mu);
            all.swap(conns);
            // Wakes every connection thread waiting in recv().
            for (auto& c : all)
                if (c->fd >= 0)
                    ::shutdown(c->fd, SHUT_RDWR);
        }
        for (auto& c : all)
            if (c->thread.joinable())
                c->thread.join();
        if (cfg.registerWithSystemPortmapper)
            registerWithSystem(false);
        closeAll();
    }

    // ---- threads ---------------------------------------------------------------------------

    void reapFinished() {
        std::list<std::unique_ptr<Conn>> finished;
        {
            std::lock_guard lk(mu);
            for (auto it = conns.begin(); it != conns.end();) {
                if ((*it)->done.load()) {
                    finished.push_back(std::move(*it));
                    it = conns.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (auto& c : finished)
            c->thread.join();
    }

    void acceptLoop() {
        while (true) {
            pollfd p[4] = {{wake[0], POLLIN, 0},
                           {coreFd, POLLIN, 0},
                           {abortFd, POLLIN, 0},
                           {pmTcp, POLLIN, 0}};
            const int count = pmTcp >= 0 ? 4 : 3;
            if (::poll(p, static_cast<nfds_t>(count), 1000) < 0 && errno != EINTR)
                return;
            if (p[0].revents != 0)
                return;
            reapFinished();
            const Service services[] = {Service::Core, Service::Abort, Service::Portmap};
            for (int i = 1; i < count; ++i) {
                if ((p[i].revents & POLLIN) == 0)
                    continue;
                sockaddr_in from{};
                socklen_t fromLength = sizeof from;
                int fd = ::accept4(p[i].fd, reinterpret_cast<sockaddr*>(&from), &fromLength,
                                   SOCK_CLOEXEC);
                if (fd < 0)
                    continue;
                const int one = 1;
                ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                if (cfg.limits.idleTimeout.count() > 0) {
                    const auto idle = cfg.limits.idleTimeout;
                    timeval tv{};
                    tv.tv_sec = static_cast<time_t>(idle.count() / 1000);
                    tv.tv_usec = static_cast<suseconds_t>((idle.count() % 1000) * 1000);
                    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
                }
                std::lock_guard lk(mu);
                if (conns.size() >= cfg.limits.maxConnections) {
                    ::close(fd); // over the limit: refuse by closing at once
                    continue;
                }
                auto conn = std::make_unique<Conn>();
                conn->id = nextConnId++;
                conn->fd = fd;
                conn->service = services[i - 1];
                conn->peer = from.sin_addr.s_addr;
                Conn* raw = conn.get();
                conns.push_back(std::move(conn));
                raw->thread = std::thread([this, raw] { serve(*raw); });
            }
        }
    }

    void udpLoop() {
        std::vector<std::uint8_t> buf(8800);
        while (true) {
            pollfd p[2] = {{wake[0], POLLIN, 0}, {pmUdp, POLLIN, 0}};
            if (::poll(p, 2, -1) < 0 && errno != EINTR)
                return;
            if (p[0].revents != 0)
                return;
            if ((p[1].revents & POLLIN) == 0)
                continue;
            sockaddr_in from{};
            socklen_t len = sizeof from;
            const ssize_t n = ::recvfrom(pmUdp, buf.data(), buf.size(), MSG_DONTWAIT,
                                         reinterpret_cast<sockaddr*>(&from), &len);
            if (n <= 0)
                continue;
            const Outcome out =
                handleRecord(nullptr, Service::Portmap,
                             xdr::ByteView(buf.data(), static_cast<std::size_t>(n)), true);
            if (!out.reply.empty())
                ::sendto(pmUdp, out.reply.data(), out.reply.size(), MSG_DONTWAIT,
                         reinterpret_cast<sockaddr*>(&from), len);
        }
    }

    void serve(Conn& conn) {
        rpc::RecordReader reader(cfg.limits.maxRecordSize, cfg.limits.maxFragmentsPerRecord);
        std::vector<std::uint8_t> buf(64 * 1024);
        bool open = true;
        // Set while a record has begun and is not complete: it must complete within the idle
        // time-out, however slowly its bytes arrive.
        bool inRecord = false;
        std::chrono::steady_clock::time_point recordStarted{};
        const auto idleTimeout = cfg.limits.idleTimeout;
        while (open) {
            // A plain blocking receive: one system call per request instead of a poll on the
            // connection and the stop pipe followed by the receive. stop() ends it by shutting
            // the connection down; the receive time-out (SO_RCVTIMEO) ends it when idle.
            const ssize_t n = ::recv(conn.fd, buf.data(), buf.size(), 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                if (!inRecord && holdsLink(conn))
                    continue; // a linked client may wait as long as it likes between calls
                logLine("closing connection " + std::to_string(conn.id) + ": idle");
                break;
            }
            if (n <= 0)
                break;
            xdr::ByteView chunk(buf.data(), static_cast<std::size_t>(n));
            while (open && !chunk.empty()) {
                const auto fed = reader.feed(chunk);
                chunk = chunk.subspan(fed.consumed);
                if (fed.status == rpc::RecordReader::Status::NeedMore && !inRecord) {
                    inRecord = true;
                    recordStarted = std::chrono::steady_clock::now();
                } else if (fed.status == rpc::RecordReader::Status::Complete) {
                    inRecord = false;
                }
                if (fed.status == rpc::RecordReader::Status::Malformed) {
                    logLine("closing connection " + std::to_string(conn.id) +
                            ": record framing broken or over the size limit");
                    open = false;
                } else if (fed.status == rpc::RecordReader::Status::Complete) {
                    const xdr::Bytes record = reader.takeRecord();
                    const Outcome out = handleRecord(&conn, conn.service, record, false);
                    if (out.drop)
                        open = false;
                    else if (!out.reply.empty() &&
                             !net::sendAll(conn.fd, rpc::frameRecord(out.reply), wake[0]))
                        open = false;
                }
            }
            if (open && inRecord && idleTimeout.count() > 0 &&
                std::chrono::steady_clock::now() - recordStarted > idleTimeout) {
                logLine("closing connection " + std::to_string(conn.id) +
                        ": a record took longer than the idle time-out");
                open = false;
            }
        }
        ::shutdown(conn.fd, SHUT_RDWR);
        dropConnection(conn.id);
        {
            // Closed under the lock, so stop() never shuts down a number reused meanwhile.
            std::lock_guard lk(mu);
            ::close(conn.fd);
            conn.fd = -1;
        }
        conn.done = true;
    }

    // Whether the client behind `conn` holds a link. An abort connection names no link until
    // it is used, and a client opens it once for all its links and may leave it silent for
    // hours: it counts as held while any core connection from the same address holds a link.
    bool holdsLink(const Conn& conn) {
        std::lock_guard lk(mu);
        std::vector<std::uint64_t> owners{conn.id};
        if (conn.service == Service::Abort)
            for (const auto& c : conns)
                if (c->service == Service::Core && c->peer == conn.peer)
                    owners.push_back(c->id);
        for (const auto& [lid, link] : links)
            if (std::find(owners.begin(), owners.end(), link.conn) != owners.end())
                return true;
        return false;
    }

    // Destroys the links of a connection that ended and releases their locks.
    void dropConnection(std::uint64_t id) {
        {
            std::lock_guard lk(mu);
            for (auto& c : conns)
                if (c->id == id)
                    net::closeFd(c->intrFd);
            for (auto it = links.begin(); it != links.end();) {
                if (it->second.conn == id) {
                    releaseLock(it->second);
                    destroyed.push_back({it->first, it->second.key, false});
                    it = links.erase(it);
                } else {
                    ++it;
                }
            }
        }
        cv.notify_all();
    }

    void logLine(const std::string& line) {
        if (cfg.log)
            cfg.log(line);
    }

    // ---- RPC dispatch ----------------------------------------------------------------------

    Outcome handleRecord(Conn* conn, Service service, xdr::ByteView record, bool udp) {
        const rpc::ParsedCall call = rpc::parseCall(record);
        switch (call.status) {
        case rpc::ParsedCall::Status::NotACall:
            return {};
        case rpc::ParsedCall::Status::RpcMismatch:
            return {rpc::encodeRpcMismatch(call.header.xid), false};
        case rpc::ParsedCall::Status::BadCredentials:
            return {rpc::encodeAcceptedReply(call.header.xid, rpc::AcceptStat::GarbageArgs), false};
        case rpc::ParsedCall::Status::Ok:
            break;
        }
        ++calls;
        const std::uint32_t prog = service == Service::Portmap ? pmap::kProgram
                                   : service == Service::Core  ? kDeviceCore
                                                               : kDeviceAsync;
        const std::uint32_t vers = service == Service::Portmap ? pmap::kVersion : kDeviceVersion;
        const std::uint32_t xid = call.header.xid;
        if (call.header.prog != prog) {
            logLine("call for program " + std::to_string(call.header.prog) +
                    " not served here: PROG_UNAVAIL");
            return {rpc::encodeAcceptedReply(xid, rpc::AcceptStat::ProgUnavail), false};
        }
        if (call.header.vers != vers) {
            logLine("version " + std::to_string(call.header.vers) + ": PROG_MISMATCH");
            return {rpc::encodeProgMismatch(xid, vers, vers), false};
        }
        if (call.header.proc == 0)
            return {rpc::encodeAcceptedReply(xid, rpc::AcceptStat::Success), false};
        switch (service) {
        case Service::Portmap:
            return portmap(call, udp);
        case Service::Core:
            return core(*conn, call);
        case Service::Abort:
            return abortCall(call);
        }
        return {};
    }

    static Outcome garbage(std::uint32_t xid) {
        return {rpc::encodeAcceptedReply(xid, rpc::AcceptStat::GarbageArgs), false};
    }
    static Outcome procUnavail(std::uint32_t xid) {
        return {rpc::encodeAcceptedReply(xid, rpc::AcceptStat::ProcUnavail), false};
    }

    Outcome portmap(const rpc::ParsedCall& call, bool udp) {
        const std::uint32_t xid = call.header.xid;
        const std::uint32_t p = call.header.proc;
        if (p == pmap::Dump::proc) {
            if (!decodeArgsFor<pmap::Dump>(call.args))
                return garbage(xid);
            pmap::MappingList list;
            {
                std::lock_guard lk(mu);
                list.entries = mappings;
            }
            logLine("portmap DUMP");
            return {encodeReplyFor<pmap::Dump>(xid, list), false};
        }
        if (p != pmap::Set::proc && p != pmap::Unset::proc && p != pmap::GetPort::proc) {
            // CALLIT and unknown procedures; over UDP a failed CALLIT gets no answer.
            if (udp && p == 5)
                return {};
            return procUnavail(xid);
        }
        const auto m = xdr::decodeAll<pmap::Mapping>(call.args);
        if (!m)
            return garbage(xid);
        std::lock_guard lk(mu);
        if (p == pmap::GetPort::proc) {
            // Version 0 stands for "any version": rpcinfo asks so when given none, and takes
            // the port of whichever version is registered for the protocol.
            pmap::PortResult r;
            for (const pmap::Mapping& e : mappings)
                if (e.prog == m->prog && (e.vers == m->vers || m->vers == 0) && e.prot == m->prot)
                    r.port = e.port;
            logLine("portmap GETPORT prog=" + std::to_string(m->prog) + " -> " +
                    std::to_string(r.port));
            return {encodeReplyFor<pmap::GetPort>(xid, r), false};
        }
        pmap::BoolResult r;
        if (p == pmap::Set::proc) {
            const bool exists = std::any_of(mappings.begin(), mappings.end(), [&](const auto& e) {
                return e.prog == m->prog && e.vers == m->vers && e.prot == m->prot;
            });
            r.value = !exists && mappings.size() < 1024;
            if (r.value)
                mappings.push_back(*m);
            logLine("portmap SET");
            return {encodeReplyFor<pmap::Set>(xid, r), false};
        }
        const auto before = mappings.size();
        std::erase_if(mappings,
                      [&](const auto& e) { return e.prog == m->prog && e.vers == m->vers; });
        r.value = mappings.size() != before;
        logLine("portmap UNSET");
        return {encodeReplyFor<pmap::Unset>(xid, r), false};
    }

    Outcome abortCall(const rpc::ParsedCall& call) {
        if (call.header.proc != proc::kDeviceAbort)
            return procUnavail(call.header.xid);
        const auto a = decodeArgsFor<DeviceAbort>(call.args);
        if (!a)
            return garbage(call.header.xid);
        DeviceError r;
        {
            std::lock_guard lk(mu);
            auto it = links.find(a->lid);
            if (it == links.end()) {
                r.error = err::kInvalidLinkIdentifier;
            } else if (it->second.busy) {
                it->second.abortRequested = true;
            }
        }
        cv.notify_all();
        logLine("abort device_abort lid=" + std::to_string(a->lid) + " -> " +
                std::to_string(r.error));
        return {encodeReplyFor<DeviceAbort>(call.header.xid, r), false};
    }

    // Runs procedure P: decodes its arguments (GARBAGE_ARGS if they do not decode), applies
    // an injected fault, runs `body` (nothing returned = drop the connection), encodes.
    template <typename P, typename Body>
    Outcome run(Conn& conn, const rpc::ParsedCall& call, std::optional<std::int32_t> lid,
                typename P::Args& args, Body body) {
        const std::uint32_t xid = call.header.xid;
        std::optional<typename P::Result> result;
        std::optional<Fault> fault = takeFault(lid);
        if (fault && fault->drop) {
            logLine(std::string("core ") + coreProcName(P::proc) + ": dropping the connection");
            return {{}, true};
        }
        if (fault) {
            result.emplace();
            result->error = fault->error;
        } else {
            result = body(conn, args);
        }
        if (!result) {
            logLine(std::string("core ") + coreProcName(P::proc) + ": connection ends");
            return {{}, true};
        }
        // Every call passes here: build the line only when someone reads it.
        if (cfg.log) {
            std::string line = std::string("core ") + coreProcName(P::proc) +
                               " xid=" + std::to_string(xid) +
                               (lid ? " lid=" + std::to_string(*lid) : std::string()) + " -> " +
                               std::to_string(result->error);
            if constexpr (std::is_same_v<P, CreateLink>)
                line += " lid=" + std::to_string(result->lid);
            logLine(line);
        }
        return {encodeReplyFor<P>(xid, *result), false};
    }

    template <typename P, typename Body>
    Outcome runDecoded(Conn& conn, const rpc::ParsedCall& call, Body body) {
        auto args = decodeArgsFor<P>(call.args);
        if (!args) {
            logLine(std::string("core ") + coreProcName(P::proc) + ": GARBAGE_ARGS");
            return garbage(call.header.xid);
        }
        std::optional<std::int32_t> lid;
        if constexpr (requires { args->lid; })
            lid = args->lid;
        return run<P>(conn, call, lid, *args, body);
    }

    std::optional<Fault> takeFault(std::optional<std::int32_t> lid) {
        std::lock_guard lk(mu);
        for (auto it = faults.begin(); it != faults.end(); ++it) {
            if (!it->lid || (lid && *it->lid == *lid)) {
                Fault f = *it;
                faults.erase(it);
                return f;
            }
        }
        return std::nullopt;
    }

    Outcome core(Conn& c, const rpc::ParsedCall& call) {
        Outcome out = coreDispatch(c, call);
        notifySrq();
        return out;
    }

    // Sends device_intr_srq to every link with SRQ enabled when the bus SRQ line rises.
    // The call is one-way: no reply is read. Sends do not block (a client that does not read
    // its interrupt channel loses notifications, not the server's time).
    void notifySrq() {
        std::lock_guard lk(mu);
        const bool srq = bus.srq(Clock::now());
        const bool rose = srq && !lastSrq;
        lastSrq = srq;
        if (!rose)
            return;
        for (const auto& [lid, link] : links) {
            if (!link.srqEnabled)
                continue;
            for (auto& cn : conns) {
                if (cn->id != link.conn || cn->intrFd < 0)
                    continue;
                DeviceSrqParms p;
                p.handle = link.srqHandle;
                const xdr::Bytes record =
                    rpc::frameRecord(encodeCallFor<DeviceIntrSrq>(++intrXid, p));
                ::send(cn->intrFd, record.data(), record.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                logLine("intr device_intr_srq lid=" + std::to_string(lid));
            }
        }
    }

    std::optional<DeviceError> createIntrChan(Conn& conn, DeviceRemoteFunc& a) {
        DeviceError r;
        if (a.progFamily != DeviceAddrFamily::Tcp || a.progNum != kDeviceIntr ||
            a.progVers != kDeviceVersion) {
            r.error = err::kOperationNotSupported;
            return r;
        }
        {
            std::lock_guard lk(mu);
            if (conn.intrFd >= 0) {
                r.error = err::kChannelAlreadyEstablished;
                return r;
            }
        }
        // The simulator only ever connects back to this machine.
        if ((a.hostAddr >> 24) != 127 || a.hostPort == 0 || a.hostPort > 65535) {
            r.error = err::kChannelNotEstablished;
            return r;
        }
        int fd = net::connectTcp(a.hostAddr, static_cast<std::uint16_t>(a.hostPort), 2s);
        if (fd < 0) {
            r.error = err::kChannelNotEstablished;
            return r;
        }
        std::lock_guard lk(mu);
        if (conn.intrFd >= 0) {
            net::closeFd(fd);
            r.error = err::kChannelAlreadyEstablished;
            return r;
        }
        conn.intrFd = fd;
        return r;
    }

    Outcome coreDispatch(Conn& c, const rpc::ParsedCall& call) {
        switch (call.header.proc) {
        case proc::kCreateLink:
            return runDecoded<CreateLink>(c, call,
                                          [this](Conn& cn, auto& a) { return createLink(cn, a); });
        case proc::kDeviceWrite:
            return runDecoded<DeviceWrite>(c, call,
                                           [this](Conn& cn, auto& a) { return write(cn, a); });
        case proc::kDeviceRead:
            return runDecoded<DeviceRead>(c, call,
                                          [this](Conn& cn, auto& a) { return read(cn, a); });
        case proc::kDeviceReadStb:
            return runDecoded<DeviceReadStb>(c, call,
                                             [this](Conn& cn, auto& a) { return readStb(cn, a); });
        case proc::kDeviceTrigger:
        case proc::kDeviceClear:
        case proc::kDeviceRemote:
        case proc::kDeviceLocal: {
            const std::uint32_t which = call.header.proc;
            auto body = [this, which](Conn& cn, auto& a) { return generic(cn, which, a); };
            switch (which) {
            case proc::kDeviceTrigger:
                return runDecoded<DeviceTrigger>(c, call, body);
            case proc::kDeviceClear:
                return runDecoded<DeviceClear>(c, call, body);
            case proc::kDeviceRemote:
                return runDecoded<DeviceRemote>(c, call, body);
            default:
                return runDecoded<DeviceLocal>(c, call, body);
            }
        }
        case proc::kDeviceLock:
            return runDecoded<DeviceLock>(c, call,
                                          [this](Conn& cn, auto& a) { return lock(cn, a); });
        case proc::kDeviceUnlock:
            return runDecoded<DeviceUnlock>(c, call,
                                            [this](Conn& cn, auto& a) { return unlock(cn, a); });
        case proc::kDeviceEnableSrq:
            return runDecoded<DeviceEnableSrq>(
                c, call, [this](Conn& cn, auto& a) { return enableSrq(cn, a); });
        case proc::kDeviceDocmd:
            return runDecoded<DeviceDocmd>(c, call,
                                           [this](Conn& cn, auto& a) { return docmd(cn, a); });
        case proc::kDestroyLink:
            return runDecoded<DestroyLink>(
                c, call, [this](Conn& cn, auto& a) { return destroyLink(cn, a); });
        case proc::kCreateIntrChan:
            return runDecoded<CreateIntrChan>(
                c, call, [this](Conn& cn, auto& a) { return createIntrChan(cn, a); });
        case proc::kDestroyIntrChan:
            return runDecoded<DestroyIntrChan>(c, call, [this](Conn& cn, auto&) {
                std::lock_guard lk(mu);
                DeviceError r;
                if (cn.intrFd < 0)
                    r.error = err::kChannelNotEstablished;
                net::closeFd(cn.intrFd);
                return std::optional<DeviceError>(r);
            });
        default:
            logLine("core procedure " + std::to_string(call.header.proc) + ": PROC_UNAVAIL");
            return procUnavail(call.header.xid);
        }
    }

    // ---- waiting ---------------------------------------------------------------------------

    // Waits on the bus condition until `ready()` holds, the deadline passes, the link's call is
    // aborted, or the server stops / the client goes away. `wakeHint` may name an earlier
    // moment when `ready()` can change by itself (a slow answer becoming readable).
    template <typename Ready>
    WaitEnd waitFor(std::unique_lock<std::mutex>& lk, Conn& conn, Link* link,
                    Clock::time_point deadline, Ready ready,
                    std::function<std::optional<Clock::time_point>()> wakeHint = {}) {
        while (true) {
            if (ready())
                return WaitEnd::Ready;
            if (stopping)
                return WaitEnd::Gone;
            if (link && link->abortRequested) {
                link->abortRequested = false;
                return WaitEnd::Aborted;
            }
            const auto now = Clock::now();
            if (now >= deadline)
                return WaitEnd::Timeout;
            // Wake at least every 100 ms to notice a client that went away meanwhile.
            auto until = std::min(deadline, now + 100ms);
            if (wakeHint) {
                if (const auto hint = wakeHint(); hint && *hint < until)
                    until = std::max(*hint, now);
            }
            cv.wait_until(lk, until);
            if (net::peerGone(conn.fd))
                return WaitEnd::Gone;
        }
    }

    // Lock rules of every call that needs the device: free or ours -> go on; held elsewhere ->
    // 11 at once, or wait up to lock_timeout with the wait flag. Returns 0, 11, 23, or -1 for
    // "the connection ends".
    std::int32_t awaitLock(std::unique_lock<std::mutex>& lk, Conn& conn, Link* link,
                           const std::string& key, std::int32_t lid, std::int32_t flagBits,
                           std::uint32_t lockTimeout) {
        auto freeForUs = [&] {
            auto it = locks.find(key);
            return it == locks.end() || it->second == lid;
        };
        if (freeForUs())
            return err::kNoError;
        if ((flagBits & flags::kWaitLock) == 0 || lockTimeout == 0)
            return err::kDeviceLockedByAnotherLink;
        switch (waitFor(lk, conn, link, deadlineAfter(lockTimeout), freeForUs)) {
        case WaitEnd::Ready:
            return err::kNoError;
        case WaitEnd::Timeout:
            return err::kDeviceLockedByAnotherLink;
        case WaitEnd::Aborted:
            return err::kAbort;
        case WaitEnd::Gone:
            return -1;
        }
        return -1;
    }

    void releaseLock(const Link& link) {
        auto it = locks.find(link.key);
        if (it != locks.end() && it->second == link.lid)
            locks.erase(it);
    }

    // Marks the link busy for the duration of a call (abort targets busy links only).
    struct BusyGuard {
        Link* link;
        explicit BusyGuard(Link* l) : link(l) {
            link->busy = true;
            link->abortRequested = false;
        }
        ~BusyGuard() {
            link->busy = false;
            link->abortRequested = false;
        }
    };

    // A link of this connection. Links belong to the connection that made them: a call
    // from another connection cannot use (or destroy) a link whose call may be waiting.
    Link* findLink(std::int32_t lid, const Conn& conn) {
        auto it = links.find(lid);
        return it == links.end() || it->second.conn != conn.id ? nullptr : &it->second;
    }

    // What every call that needs the device does first: find the caller's link, apply the
    // call's own refusal (`refuse` returns an error, or 0 to go on), mark the link busy and
    // wait for the device's lock. `body(lk, link, r)` then runs with the mutex held; nothing
    // returned (or a connection that ends while waiting) drops the connection. The link stops
    // being busy while the mutex is still held, then waiters wake to see what the call changed.
    // `ownLockFrees` is false for device_lock: a lock this link holds does not let it through.
    template <typename Resp, typename Parms, typename Refuse, typename Body>
    std::optional<Resp> onDevice(Conn& conn, const Parms& a, Refuse refuse, Body body,
                                 bool ownLockFrees = true) {
        Resp r;
        std::unique_lock lk(mu);
        Link* link = findLink(a.lid, conn);
        if (!link) {
            r.error = err::kInvalidLinkIdentifier;
            return r;
        }
        if (const std::int32_t refused = refuse(*link); refused != err::kNoError) {
            r.error = refused;
            return r;
        }
        std::optional<Resp> out;
        {
            BusyGuard busy(link);
            const std::int32_t e = awaitLock(lk, conn, link, link->key,
                                             ownLockFrees ? link->lid : -1, a.flags, a.lockTimeout);
            if (e < 0)
                return std::nullopt;
            if (e != 0) {
                r.error = e;
                return r;
            }
            out = body(lk, link, r);
        }
        lk.unlock();
        cv.notify_all();
        return out;
    }

    static std::int32_t noRefusal(const Link&) { return err::kNoError; }

    // The calls that only touch the link's own records (no busy mark, no lock wait): find the
    // caller's link, let `body(link)` return the call's error under the mutex, wake waiters.
    template <typename Body>
    std::optional<DeviceError> onLink(Conn& conn, std::int32_t lid, Body body) {
        DeviceError r;
        {
            std::lock_guard lk(mu);
            Link* link = findLink(lid, conn);
            r.error = link ? body(*link) : err::kInvalidLinkIdentifier;
        }
        cv.notify_all();
        return r;
    }

    // ---- procedures ------------------------------------------------------------------------

    std::optional<CreateLinkResp> createLink(Conn& conn, CreateLinkParms& a) {
        CreateLinkResp r;
        // Printable form of a name from the wire, for the log only.
        std::string shown;
        for (char ch : a.device.substr(0, 40))
            shown += ch >= 0x20 && ch < 0x7F ? ch : '?';
        logLine("core create_link device=\"" + shown + "\"");
        const auto parsed = parseDeviceName(a.device);
        if (const auto* code = std::get_if<std::int32_t>(&parsed)) {
            r.error = *code;
            return r;
        }
        const DeviceName name = std::get<DeviceName>(parsed);
        std::unique_lock lk(mu);
        if (links.size() >= cfg.limits.maxLinks) {
            r.error = err::kOutOfResources;
            return r;
        }
        std::int32_t lid = nextLid;
        while (links.count(lid) != 0 || lid < 0)
            lid = lid < 0 || lid == INT32_MAX ? 1 : lid + 1;
        nextLid = lid == INT32_MAX ? 1 : lid + 1;
        const std::string key = name.canonical();
        if (a.lockDevice) {
            const std::int32_t e =
                awaitLock(lk, conn, nullptr, key, lid, flags::kWaitLock, a.lockTimeout);
            if (e < 0)
                return std::nullopt;
            if (e != 0) {
                r.error = err::kDeviceLockedByAnotherLink;
                return r;
            }
            if (links.size() >= cfg.limits.maxLinks || links.count(lid) != 0) {
                r.error = err::kOutOfResources;
                return r;
            }
            locks[key] = lid;
        }
        Link link;
        link.lid = lid;
        link.conn = conn.id;
        link.name = name;
        link.key = key;
        link.device = name.isInterface ? nullptr : bus.find(name.pad, name.sad);
        links.emplace(lid, std::move(link));
        r.lid = lid;
        r.abortPort = abortPortNum;
        r.maxRecvSize = cfg.limits.maxRecvSize;
        return r;
    }

    std::optional<DeviceError> destroyLink(Conn& conn, DeviceLink& a) {
        return onLink(conn, a.lid, [&](Link& link) {
            releaseLock(link);
            destroyed.push_back({link.lid, link.key, true});
            links.erase(a.lid); // last: `link` goes with it
            return err::kNoError;
        });
    }

    std::optional<DeviceWriteResp> write(Conn& conn, DeviceWriteParms& a) {
        auto tooLong = [&](const Link&) {
            return a.data.size() > cfg.limits.maxRecvSize ? err::kParameterError : err::kNoError;
        };
        return onDevice<DeviceWriteResp>(conn, a, tooLong, [&](auto&, Link* link, auto& r) {
            const bool end = (a.flags & flags::kEnd) != 0;
            const std::string_view data(reinterpret_cast<const char*>(a.data.data()),
                                        a.data.size());
            const auto now = Clock::now();
            std::vector<Instrument*> targets;
            if (link->name.isInterface) {
                bus.setAtn(false); // the data phase follows the client's own addressing
                targets = bus.listeners();
            } else if (link->device) {
                targets.push_back(link->device);
                if (bus.snapshot(now).ren)
                    link->device->remote = true;
            }
            if (targets.empty()) {
                r.error = err::kIoError; // nobody listens: the handshake cannot complete
                return r;
            }
            for (Instrument* t : targets)
                t->receive(data, end, now);
            r.size = static_cast<std::uint32_t>(a.data.size());
            return r;
        });
    }

    std::optional<DeviceReadResp> read(Conn& conn, DeviceReadParms& a) {
        return onDevice<DeviceReadResp>(
            conn, a, noRefusal,
            [&](std::unique_lock<std::mutex>& lk, Link* link,
                DeviceReadResp& r) -> std::optional<DeviceReadResp> {
                if (a.requestSize == 0) {
                    r.reason = reason::kReqCnt;
                    return r;
                }
                // The I/O time-out starts once the lock is ours.
                const auto deadline = deadlineAfter(a.ioTimeout);
                if (link->name.isInterface)
                    bus.setAtn(false);
                // The source is looked up afresh on each wake: on the interface link the talker is
                // whoever the client addressed.
                auto source = [&]() -> Instrument* {
                    return link->name.isInterface ? bus.talker() : link->device;
                };
                auto serialPollByte = [&] {
                    return link->name.isInterface && bus.serialPollMode();
                };
                auto ready = [&] {
                    Instrument* s = source();
                    return s && (serialPollByte() || s->hasOutput(Clock::now()));
                };
                auto hint = [&]() -> std::optional<Clock::time_point> {
                    Instrument* s = source();
                    return s ? s->nextOutputTime() : std::nullopt;
                };
                switch (waitFor(lk, conn, link, deadline, ready, hint)) {
                case WaitEnd::Ready:
                    break;
                case WaitEnd::Timeout:
                    r.error = err::kIoTimeout;
                    return r;
                case WaitEnd::Aborted:
                    r.error = err::kAbort;
                    return r;
                case WaitEnd::Gone:
                    return std::nullopt;
                }
                Instrument* s = source();
                const auto now = Clock::now();
                if (serialPollByte()) {
                    r.data.push_back(s->serialPoll(now));
                    r.reason = reason::kEnd | (a.requestSize == 1 ? reason::kReqCnt : 0);
                    return r;
                }
                const std::size_t max = std::min(a.requestSize, cfg.limits.maxReadChunk);
                const bool termSet = (a.flags & flags::kTermChrSet) != 0;
                const auto term = static_cast<std::uint8_t>(a.termChar & 0xFF);
                bool end = false;
                const std::string data =
                    s->takeOutput(max, termSet ? std::optional(term) : std::nullopt, end, now);
                r.data.assign(data.begin(), data.end());
                if (end)
                    r.reason |= reason::kEnd;
                if (termSet && !data.empty() && static_cast<std::uint8_t>(data.back()) == term)
                    r.reason |= reason::kChr;
                if (data.size() == a.requestSize)
                    r.reason |= reason::kReqCnt;
                return r;
            });
    }

    std::optional<DeviceReadStbResp> readStb(Conn& conn, DeviceGenericParms& a) {
        auto onInterface = [](const Link& link) {
            return link.name.isInterface ? err::kOperationNotSupported : err::kNoError;
        };
        return onDevice<DeviceReadStbResp>(
            conn, a, onInterface,
            [&](std::unique_lock<std::mutex>& lk, Link* link,
                DeviceReadStbResp& r) -> std::optional<DeviceReadStbResp> {
                if (!link->device) {
                    // Nobody answers the poll: it ends at the I/O time-out.
                    switch (
                        waitFor(lk, conn, link, deadlineAfter(a.ioTimeout), [] { return false; })) {
                    case WaitEnd::Aborted:
                        r.error = err::kAbort;
                        return r;
                    case WaitEnd::Gone:
                        return std::nullopt;
                    default:
                        r.error = err::kIoTimeout;
                        return r;
                    }
                }
                r.stb = link->device->serialPoll(Clock::now());
                return r;
            });
    }

    std::optional<DeviceError> generic(Conn& conn, std::uint32_t which, DeviceGenericParms& a) {
        auto remoteOnInterface = [&](const Link& link) {
            return link.name.isInterface &&
                           (which == proc::kDeviceRemote || which == proc::kDeviceLocal)
                       ? err::kOperationNotSupported
                       : err::kNoError;
        };
        return onDevice<DeviceError>(conn, a, remoteOnInterface, [&](auto&, Link* link, auto& r) {
            const auto now = Clock::now();
            if (link->name.isInterface) {
                // GET to the listeners the client addressed; clear is DCL to every device.
                bus.sendCommand(which == proc::kDeviceTrigger ? std::string_view("\x08", 1)
                                                              : std::string_view("\x14", 1),
                                now);
            } else if (!link->device) {
                r.error = err::kIoError;
            } else {
                Instrument& d = *link->device;
                switch (which) {
                case proc::kDeviceTrigger:
                    d.trigger();
                    break;
                case proc::kDeviceClear:
                    d.deviceClear();
                    break;
                case proc::kDeviceRemote:
                    bus.setRen(true);
                    d.remote = true;
                    break;
                default:
                    d.remote = false;
                    break;
                }
            }
            return r;
        });
    }

    std::optional<DeviceError> lock(Conn& conn, DeviceLockParms& a) {
        auto heldAlready = [&](const Link& link) {
            auto it = locks.find(link.key);
            return it != locks.end() && it->second == link.lid
                       ? err::kDeviceLockedByAnotherLink // a second lock by the holder
                       : err::kNoError;
        };
        return onDevice<DeviceError>(
            conn, a, heldAlready,
            [&](auto&, Link* link, auto& r) {
                locks[link->key] = link->lid;
                return r;
            },
            false);
    }

    std::optional<DeviceError> unlock(Conn& conn, DeviceLink& a) {
        return onLink(conn, a.lid, [&](Link& link) {
            auto it = locks.find(link.key);
            if (it == locks.end() || it->second != link.lid)
                return err::kNoLockHeldByThisLink;
            locks.erase(it);
            return err::kNoError;
        });
    }

    std::optional<DeviceError> enableSrq(Conn& conn, DeviceEnableSrqParms& a) {
        return onLink(conn, a.lid, [&](Link& link) {
            link.srqEnabled = a.enable;
            link.srqHandle = a.handle;
            return err::kNoError;
        });
    }

    std::optional<DeviceDocmdResp> docmd(Conn& conn, DeviceDocmdParms& a) {
        auto notInterface = [](const Link& link) {
            return link.name.isInterface ? err::kNoError : err::kOperationNotSupported;
        };
        return onDevice<DeviceDocmdResp>(conn, a, notInterface, [&](auto&, Link*, auto& r) {
            const auto now = Clock::now();
            // One element of the given size, in the client's byte order.
            auto single = [&](int size) -> std::optional<std::uint32_t> {
                if (a.datasize != size)
                    return std::nullopt;
                const auto v = unpackElements(a.dataIn, a.datasize, a.networkOrder);
                if (!v || v->size() != 1)
                    return std::nullopt;
                return (*v)[0];
            };
            auto answer = [&](std::uint32_t value, int size) {
                const std::uint32_t one[] = {value};
                r.dataOut = packElements(one, size, a.networkOrder);
            };
            switch (a.cmd) {
            case docmd::kSendCommand:
                if (a.datasize != 1 || a.dataIn.size() > docmd::kMaxSendCommand) {
                    r.error = err::kParameterError;
                    break;
                }
                bus.sendCommand(std::string_view(reinterpret_cast<const char*>(a.dataIn.data()),
                                                 a.dataIn.size()),
                                now);
                r.dataOut = a.dataIn;
                break;
            case docmd::kBusStatus: {
                const auto request = single(2);
                const auto value = request ? bus.status(*request, now) : std::nullopt;
                if (!value)
                    r.error = err::kParameterError;
                else
                    answer(*value, 2);
                break;
            }
            case docmd::kAtnControl:
            case docmd::kRenControl: {
                const auto value = single(2);
                if (!value) {
                    r.error = err::kParameterError;
                    break;
                }
                if (a.cmd == docmd::kAtnControl)
                    bus.setAtn(*value != 0);
                else
                    bus.setRen(*value != 0);
                answer(*value, 2);
                break;
            }
            case docmd::kBusAddress: {
                const auto value = single(4);
                if (!value || !bus.setBusAddress(*value)) {
                    r.error = err::kParameterError;
                    break;
                }
                answer(*value, 4);
                break;
            }
            case docmd::kIfcControl:
                bus.ifc();
                break;
            default:
                // Pass control included: simulated instruments cannot take control.
                r.error = err::kOperationNotSupported;
                break;
            }
            return r;
        });
    }
};

// ---- public interface ----------------------------------------------------------------------

Simulator::Simulator(SimulatorConfig config) : m_impl(std::make_unique<Impl>(std::move(config))) {}

Simulator::~Simulator() {
    stop();
}

bool Simulator::start(std::string* error) {
    return m_impl->start(error);
}

void Simulator::stop() {
    m_impl->stop();
}

std::string Simulator::listenAddress() const {
    return m_impl->cfg.listenAddress;
}
std::uint16_t Simulator::portmapperPort() const {
    return m_impl->pmPort;
}
std::uint16_t Simulator::corePort() const {
    return m_impl->corePortNum;
}
std::uint16_t Simulator::abortPort() const {
    return m_impl->abortPortNum;
}

std::string Simulator::readyLine() const {
    return "ready portmapper=" + listenAddress() + ":" + std::to_string(portmapperPort()) +
           " core=" + std::to_string(corePort()) + " abort=" + std::to_string(abortPort());
}

std::size_t Simulator::liveLinks() const {
    std::lock_guard lk(m_impl->mu);
    return m_impl->links.size();
}

std::size_t Simulator::liveConnections() const {
    std::lock_guard lk(m_impl->mu);
    std::size_t n = 0;
    for (const auto& c : m_impl->conns)
        if (!c->done.load())
            ++n;
    return n;
}

std::vector<LinkInfo> Simulator::links() const {
    std::lock_guard lk(m_impl->mu);
    std::vector<LinkInfo> out;
    for (const auto& [lid, link] : m_impl->links) {
        const auto it = m_impl->locks.find(link.key);
        out.push_back({lid, link.key, link.conn, it != m_impl->locks.end() && it->second == lid});
    }
    return out;
}

std::vector<DestroyedLink> Simulator::destroyedLinks() const {
    std::lock_guard lk(m_impl->mu);
    return m_impl->destroyed;
}

std::optional<InstrumentSnapshot> Simulator::instrument(int pad, std::optional<int> sad) const {
    std::lock_guard lk(m_impl->mu);
    Instrument* i = m_impl->bus.find(pad, sad);
    if (!i)
        return std::nullopt;
    return i->snapshot(Clock::now());
}

BusSnapshot Simulator::bus() const {
    std::lock_guard lk(m_impl->mu);
    return m_impl->bus.snapshot(Clock::now());
}

std::optional<std::int32_t> Simulator::lockHolder(std::string_view device) const {
    const auto parsed = parseDeviceName(device);
    const auto* name = std::get_if<DeviceName>(&parsed);
    if (!name)
        return std::nullopt;
    std::lock_guard lk(m_impl->mu);
    const auto it = m_impl->locks.find(name->canonical());
    if (it == m_impl->locks.end())
        return std::nullopt;
    return it->second;
}

std::uint64_t Simulator::callCount() const {
    return m_impl->calls.load();
}

void Simulator::failNextCall(std::optional<std::int32_t> lid, std::int32_t error) {
    std::lock_guard lk(m_impl->mu);
    m_impl->faults.push_back({lid, false, error});
}

void Simulator::dropNextCall(std::optional<std::int32_t> lid) {
    std::lock_guard lk(m_impl->mu);
    m_impl->faults.push_back({lid, true, 0});
}

bool Simulator::setInstrumentFaults(int pad, std::optional<int> sad,
                                    const InstrumentFaults& faults) {
    {
        std::lock_guard lk(m_impl->mu);
        Instrument* i = m_impl->bus.find(pad, sad);
        if (!i)
            return false;
        i->setFaults(faults);
    }
    m_impl->cv.notify_all();
    return true;
}

} // namespace gateway
