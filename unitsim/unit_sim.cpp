#include "unit_sim.h"

#include "control_endpoint.h"
#include "endpoint_sockets.h"
#include "http_endpoint.h"
#include "rtp_endpoint.h"
#include "unit_recorder.h"

#include <atomic>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace unitsim {

std::uint32_t ssrcOf(const std::string &sessionId)
{
    std::uint32_t ssrc = 0;
    for (std::size_t i = 0; i < 4 && i < sessionId.size(); ++i)
        ssrc |= std::uint32_t(static_cast<std::uint8_t>(sessionId[i])) << (8 * i);
    return ssrc;
}

struct UnitSim::Impl
{
    explicit Impl(Options options) : recorder(std::move(options)), control(recorder) { }

    std::optional<std::string> bindAll(const Options &opts);
    void closeSockets();

    UnitRecorder recorder;
    ControlEndpoint control;
    net::UniqueFd httpListen;
    net::UniqueFd controlListen;
    net::UniqueFd rtpSocket;
    net::UniqueFd wake; // readable once stop is asked; never read
    std::atomic<bool> stopping{ false };
    std::thread httpThread;
    std::thread controlThread;
    std::thread rtpThread;
};

namespace {

std::optional<std::string> take(
        std::variant<net::UniqueFd, std::string> result, net::UniqueFd &into)
{
    if (auto *error = std::get_if<std::string>(&result))
        return *error;
    into = std::move(std::get<net::UniqueFd>(result));
    return std::nullopt;
}

} // namespace

// Binds the endpoints' sockets and the wake-up descriptor; the error text when
// one fails.
std::optional<std::string> UnitSim::Impl::bindAll(const Options &opts)
{
    if (auto error = take(bindSocket(SOCK_STREAM, opts.address, opts.httpPort, true), httpListen))
        return error;
    if (opts.controlListen) {
        if (auto error = take(
                    bindSocket(SOCK_STREAM, opts.address, opts.controlPort, true), controlListen))
            return error;
    }
    if (opts.rtpListen) {
        // No address reuse: the client binds its own end of the stream with reuse,
        // and two receivers on one port must never share the packets.
        if (auto error = take(bindSocket(SOCK_DGRAM, opts.address, opts.rtpPort, false), rtpSocket))
            return error;
        // Room for many whole frames while the receiver decodes one: beyond the system's cap
        // where allowed (root), so the emulator is not what loses packets on a fast link.
        int bytes = opts.rtpReceiveBuffer > 0 ? opts.rtpReceiveBuffer : 32 * 1024 * 1024;
        if (::setsockopt(rtpSocket.get(), SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
            ::setsockopt(rtpSocket.get(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    }
    wake.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake.valid())
        return errnoText("eventfd");
    return std::nullopt;
}

void UnitSim::Impl::closeSockets()
{
    httpListen.reset();
    controlListen.reset();
    rtpSocket.reset();
    wake.reset();
}

UnitSim::UnitSim(Options options) : m_impl(std::make_unique<Impl>(std::move(options))) { }

UnitSim::~UnitSim()
{
    stop();
}

std::optional<std::string> UnitSim::start()
{
    Impl &d = *m_impl;
    if (running())
        return std::string("already running");
    if (auto error = d.bindAll(d.recorder.options())) {
        d.closeSockets();
        return error;
    }
    if (auto error = d.recorder.begin()) {
        d.closeSockets();
        return error;
    }
    d.stopping = false;
    // The threads carry the emulator's name, so figures of a process that also runs a client
    // (tests, benchmarks) tell the unit's work apart.
    d.httpThread = std::thread([&d] {
        pthread_setname_np(pthread_self(), "unitsim-http");
        HttpEndpoint(d.recorder, d.httpListen.get(), d.wake.get(), d.stopping).run();
    });
    if (d.controlListen.valid())
        d.controlThread = std::thread([&d] {
            pthread_setname_np(pthread_self(), "unitsim-control");
            d.control.run(d.controlListen.get(), d.wake.get(), d.stopping);
        });
    if (d.rtpSocket.valid())
        d.rtpThread = std::thread([&d] {
            pthread_setname_np(pthread_self(), "unitsim-rtp");
            RtpEndpoint(d.recorder, d.rtpSocket.get(), d.wake.get(), d.stopping).run();
        });
    return std::nullopt;
}

void UnitSim::stop()
{
    Impl &d = *m_impl;
    if (!d.recorder.running())
        return;
    d.stopping = true;
    std::uint64_t one = 1;
    if (::write(d.wake.get(), &one, sizeof one) < 0) {
        // Nothing else can wake the threads; they also check the flag after every
        // event.
    }
    for (std::thread *t : { &d.httpThread, &d.controlThread, &d.rtpThread })
        if (t->joinable())
            t->join();
    d.control.clear();
    d.closeSockets();
    d.recorder.end();
}

bool UnitSim::running() const
{
    return m_impl->recorder.running();
}

Options UnitSim::options() const
{
    return m_impl->recorder.options();
}

void UnitSim::updateOptions(const std::function<void(Options &)> &change)
{
    m_impl->recorder.updateOptions(change);
}

std::vector<HttpRequest> UnitSim::httpRequests() const
{
    return m_impl->recorder.httpRequests();
}

std::vector<ControlMessage> UnitSim::controlMessages() const
{
    return m_impl->recorder.controlMessages();
}

std::vector<RtpPacket> UnitSim::rtpPackets() const
{
    return m_impl->recorder.rtpPackets();
}

std::vector<Frame> UnitSim::frames() const
{
    return m_impl->recorder.frames();
}

std::optional<Frame> UnitSim::latestFrame() const
{
    return m_impl->recorder.latestFrame();
}

Counters UnitSim::counters() const
{
    return m_impl->recorder.counters();
}

bool UnitSim::controlConnected() const
{
    return m_impl->control.connected();
}

bool UnitSim::sharing() const
{
    return m_impl->control.sharing();
}

std::string UnitSim::summary() const
{
    const Counters c = counters();
    const Options o = options();
    std::string text;
    text += "unit " + o.address + " (" + (o.family == Family::Qmt ? "QMT" : "ZMT") + ", session "
            + o.sessionId + ")\n";
    text += "  http: " + std::to_string(c.httpRequests) + " requests, "
            + std::to_string(c.httpAnswered) + " answered; logins " + std::to_string(c.logins)
            + " (" + std::to_string(c.loginsAccepted) + " accepted), firmware "
            + std::to_string(c.firmwareRequests) + ", keep-alive " + std::to_string(c.keepAlives)
            + ", logout " + std::to_string(c.logouts) + "\n";
    text += "  control: " + std::to_string(c.controlConnections) + " connections, "
            + std::to_string(c.controlFromClient) + " messages in, "
            + std::to_string(c.controlToClient) + " out; share requests "
            + std::to_string(c.shareRequestsSent) + ", frames reported sent "
            + std::to_string(c.framesSentReported) + ", pulls " + std::to_string(c.nextFramesSent)
            + "\n";
    text += "  rtp: " + std::to_string(c.rtpPackets) + " packets ("
            + std::to_string(c.rtpPacketsRejected) + " refused); frames "
            + std::to_string(c.framesValid) + " valid, " + std::to_string(c.framesInvalid)
            + " not valid";
    if (std::optional<Frame> last = latestFrame())
        text += "; last " + std::to_string(last->width) + "x" + std::to_string(last->height) + ", "
                + std::to_string(last->jpeg.size()) + " bytes";
    return text + "\n";
}

bool UnitSim::waitFor(
        const std::function<bool(const UnitSim &)> &pred, std::chrono::milliseconds timeout) const
{
    return m_impl->recorder.waitUntil([&] { return pred(*this); }, timeout);
}

bool UnitSim::sendShareRequest()
{
    return m_impl->control.act([](ControlUnit &u, const Options &o) { return u.shareRequest(o); });
}

bool UnitSim::sendStop()
{
    return m_impl->control.act([](ControlUnit &u, const Options &o) { return u.stopRequest(o); });
}

bool UnitSim::sendDisconnect()
{
    return m_impl->control.act(
            [](ControlUnit &u, const Options &o) { return u.disconnect(o); }, true);
}

bool UnitSim::sendParams(const ControlItems &items)
{
    return m_impl->control.act(
            [&items](ControlUnit &u, const Options &o) { return u.params(o, items); });
}

bool UnitSim::sendNextFrame()
{
    return m_impl->control.act([](ControlUnit &u, const Options &o) { return u.nextFrame(o); });
}

bool UnitSim::sendRaw(const std::vector<std::uint8_t> &bytes)
{
    return m_impl->control.act([&bytes](ControlUnit &, const Options &) { return bytes; });
}

bool UnitSim::closeControl()
{
    return m_impl->control.act(nullptr, true);
}

} // namespace unitsim
