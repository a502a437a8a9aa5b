#include "net/udp_endpoint.h"

#include <algorithm>
#include <optional>
#include <string_view>

#include "net/dotted_quad.h"
#include "net/socket_error.h"
#include "net/udp_sock_error.h"
#include "platform/exception.h"

namespace lobby {

namespace {

std::uint16_t Low16(std::int32_t port)
{
    return static_cast<std::uint16_t>(static_cast<std::uint32_t>(port) & 0xFFFFu);
}

} // namespace

TUDPEndpoint::TUDPEndpoint(EventLoop& loop) : loop_(loop), batchBytes_(kReceiveBatch * kBufferSize), lookup_(loop)
{
    // No handler can be assigned yet, so this report never arrives anywhere; it is kept so
    // the endpoint reports the same steps wherever it is built.
    ReportStatus(8, "Initializing Winsock");
    OpenSocket();
}

// A run of the readable callback is the batch its handler takes datagrams from. Runs link
// into a stack through the endpoint, whose destructor marks them gone.
class TUDPEndpoint::ReceiveRun final : public ReceivedBatch {
public:
    explicit ReceiveRun(TUDPEndpoint& endpoint) : endpoint_(endpoint), outer_(endpoint.runs_)
    {
        endpoint_.runs_ = this;
    }
    ~ReceiveRun()
    {
        if (!gone)
            endpoint_.runs_ = outer_;
    }
    ReceiveRun(const ReceiveRun&) = delete;
    ReceiveRun& operator=(const ReceiveRun&) = delete;

    bool Next(ReceivedDatagram& datagram) override { return !gone && endpoint_.TakeNext(datagram); }
    ReceiveRun* Outer() const { return outer_; }

    bool gone = false; // the endpoint was destroyed by a handler

private:
    TUDPEndpoint& endpoint_;
    ReceiveRun* outer_;
};

TUDPEndpoint::~TUDPEndpoint()
{
    for (ReceiveRun* run = runs_; run != nullptr; run = run->Outer())
        run->gone = true;
}

void TUDPEndpoint::OpenSocket()
{
    int error = 0;
    UdpSocket fresh = UdpSocket::Open(error);
    if (!fresh.IsOpen())
        ErrorManager(ToleratedSocketError(), error);
    socket_ = std::move(fresh);
}

void TUDPEndpoint::SetLocalPort(std::int32_t port)
{
    // Stop watching before the descriptor closes: the next socket may get the same number.
    watch_.reset();
    socket_.Close();
    bound_ = false;
    // What was taken from the old socket and not yet handed out goes with it.
    batchNext_ = batchCount_ = 0;
    OpenSocket();
    localPort_ = port;
    BindLocal();
}

void TUDPEndpoint::BindLocal()
{
    // A second bind of a bound socket would be refused; the endpoint is already where it
    // should be, so only the notifications are registered again.
    if (!bound_) {
        const std::uint16_t port = Low16(localPort_);
        if (const int error = socket_.Bind(port); error != 0)
            throw UDPSockError("Cannot bind UDP port " + std::to_string(port) + ": " + SocketErrorReason(error));
        bound_ = true;
    }
    watch_.reset();
    watch_ = loop_.WatchReadableReentrant(socket_.Watchable(), [this] { ReceiveDatagrams(); });
}

void TUDPEndpoint::ReceiveDatagrams()
{
    socket_.ClearReady();
    if (batchNext_ == batchCount_ && !TakeQueued())
        return;
    ReceiveRun run(*this);
    // Whatever the handler left (it ended with an error, or took fewer) waits for the next
    // callback, which the loop is asked for.
    const auto askAgainForTheRest = [this, &run] {
        if (!run.gone && batchNext_ < batchCount_ && watch_)
            loop_.NotifyAgain(*watch_);
    };
    try {
        // A copy, so that a handler may reassign OnReceiveBatch while it runs.
        const TOnReceiveBatch handler = OnReceiveBatch;
        if (handler)
            handler(*this, run);
        else
            AnnounceQueued(run);
    } catch (...) {
        askAgainForTheRest();
        throw;
    }
    askAgainForTheRest();
}

bool TUDPEndpoint::TakeQueued()
{
    batchNext_ = batchCount_ = 0;
    // The receive below overwrites the storage the most recent datagram's bytes lie in: they
    // are kept aside, once per batch, for a ReadDatagram before the next is handed out.
    if (!recent_.empty() && recent_.data() != receiveBuffer_.data()) {
        std::copy(recent_.begin(), recent_.end(), receiveBuffer_.data());
        recent_ = std::string_view(receiveBuffer_.data(), recent_.size());
    }
    const std::size_t taken = socket_.ReceiveMany(batchBytes_.data(), kBufferSize, batch_);
    if (taken == 0) {
        // Woken with nothing queued (the system dropped a datagram with a bad checksum, or
        // the loop called again on a hint): there is nothing to announce and the previous
        // datagram stays. Any other failure is handed out, as a failed receive, with no sender.
        if (ClassifySocketError(batch_[0].error) == SocketErrorKind::WouldBlock)
            return false;
        batch_[0].fromAddress = 0;
        batch_[0].fromPort = 0;
        batchCount_ = 1;
        return true;
    }
    batchCount_ = taken;
    // A full batch, so more are likely queued: the loop is asked to call again without a
    // wait, as the system would once these are read. A batch cut short by a failure, or one
    // that took all there was, lets the loop wait first.
    if (taken == kReceiveBatch && batch_[taken - 1].length >= 0 && watch_)
        loop_.NotifyAgain(*watch_);
    return true;
}

bool TUDPEndpoint::TakeNext(ReceivedDatagram& datagram)
{
    if (batchNext_ == batchCount_)
        return false;
    const std::size_t slot = batchNext_++;
    const UdpSocket::Received& got = batch_[slot];
    // A datagram longer than the buffer is a failed receive, so that a cut-off request is
    // never taken for a whole one.
    const bool whole = got.length >= 0 && got.length <= kBufferSize;
    receivedCount_ = whole ? static_cast<std::int32_t>(got.length) : -1;
    recent_ = whole ? std::string_view(batchBytes_.data() + slot * kBufferSize, static_cast<std::size_t>(got.length))
                    : std::string_view();
    datagram.Bytes = recent_;
    datagram.NumberBytes = receivedCount_;
    // For an over-long datagram the sender is known and passed on (the lobby may want to
    // tell who sent it); for a receive that failed outright there is none: 0.0.0.0, 0. A
    // player sends many requests in a row, so the last sender's text is kept.
    if (got.fromAddress != lastSource_ || lastSourceText_.empty()) {
        lastSource_ = got.fromAddress;
        lastSourceText_ = DottedQuadText(NetworkToHostOrder(got.fromAddress));
    }
    datagram.FromIP = lastSourceText_;
    datagram.Port = got.fromPort;
    return true;
}

void TUDPEndpoint::AnnounceQueued(ReceiveRun& run)
{
    ReceivedDatagram datagram;
    while (run.Next(datagram)) {
        if (!OnDataReceived)
            continue;
        // A copy, so that a handler may reassign OnDataReceived while it runs.
        const TOnReceive handler = OnDataReceived;
        handler(*this, datagram.NumberBytes, datagram.FromIP, datagram.Port);
    }
}

void TUDPEndpoint::ReadDatagram(TStream& stream)
{
    stream.WriteBuffer(recent_.data(), receivedCount_);
    stream.SetPosition(0);
}

void TUDPEndpoint::SendDatagram(TStream& stream)
{
    // The handler gets one call in which to fill an empty stream.
    for (int attempts = 0; stream.Size() == 0; ++attempts) {
        if (attempts > 0 || !OnStreamInvalid)
            throw Exception("Invalid stream");
        bool handled = false;
        const TStreamInvalid handler = OnStreamInvalid;
        handler(handled, stream);
        if (!handled)
            throw Exception("Invalid stream");
    }
    const std::int64_t size = stream.Size();
    if (size > kBufferSize)
        throw UDPSockError("Datagram of " + std::to_string(size) + " bytes is longer than the "
                           + std::to_string(kBufferSize) + "-byte limit");

    const std::uint32_t address = ResolveRemoteHost();
    if (address == 0)
        throw UDPSockError("Null Remote Address");
    ReportStatus(2, "Sending Data");
    const std::uint16_t port = Low16(remotePort_);

    std::array<char, kBufferSize> sendBuffer;
    stream.SetPosition(0);
    stream.ReadBuffer(sendBuffer.data(), size);
    // A datagram the system refuses (no route, buffers full) is lost like one lost on the way:
    // raising would end a broadcast at the first unreachable player. It is counted, and not
    // announced through OnDataSend as if it had gone out.
    if (socket_.SendTo(sendBuffer.data(), static_cast<std::size_t>(size), address, port) != 0) {
        ++sendFailures_;
        return;
    }
    if (OnDataSend) {
        const TNotifyEvent handler = OnDataSend;
        handler(*this);
    }
}

std::optional<std::uint32_t> TUDPEndpoint::ResolveWithoutLookup(std::string_view host)
{
    if (host.size() > kMaxHostLength)
        throw UDPSockError("Remote host is longer than " + std::to_string(kMaxHostLength) + " characters");
    // The lobby's own form (every address it stores) is read here: inet_addr reads it to the
    // same value but costs more than the rest of a send, and a broadcast sends to every online
    // player. Any other text (octal or hexadecimal parts, fewer parts) is inet_addr's to read.
    // "255.255.255.255" goes to the lookup too: its value is inet_addr's own failure mark.
    const std::optional<std::uint32_t> plain = ParseDottedQuad(host);
    const std::uint32_t address = plain ? HostToNetworkOrder(*plain) : UdpSocket::InetAddr(std::string(host).c_str());
    if (address == 0xFFFFFFFFu)
        return std::nullopt;
    if (address == 0)
        throw UDPSockError("Null Remote Address");
    return address;
}

void TUDPEndpoint::SendBatch(std::span<const OutgoingDatagram> datagrams)
{
    // Sent in slices, so a long broadcast's records stay a bounded size.
    constexpr std::size_t kSlice = 1024;
    const std::uint16_t port = Low16(remotePort_);
    for (std::size_t begin = 0; begin < datagrams.size(); begin += kSlice) {
        const std::size_t count = std::min(kSlice, datagrams.size() - begin);
        for (std::size_t i = 0; i < count; ++i)
            ReportStatus(2, "Sending Data");
        const std::size_t refused = socket_.SendMany(datagrams.subspan(begin, count), port);
        sendFailures_ += refused;
        if (!OnDataSend)
            continue;
        const TNotifyEvent handler = OnDataSend;
        for (std::size_t i = refused; i < count; ++i)
            handler(*this);
    }
}

std::uint32_t TUDPEndpoint::ResolveRemoteHost()
{
    // The text is taken once: a handler run during the lookup may change RemoteHost, and the
    // retry below must look up the same name.
    const std::string host = remoteHost_;
    // inet_addr's rule: anything it cannot read as an address goes to the lookup.
    if (const auto address = ResolveWithoutLookup(host))
        return *address;

    for (int failures = 0;; ++failures) {
        if (const auto address = lookup_.LookUp(host))
            return *address;
        if (failures >= 1)
            throw UDPSockError("Host Lookup Canceled");
        bool handled = false;
        if (OnInvalidHost) {
            const THandlerEvent handler = OnInvalidHost;
            handler(handled);
        }
        if (!handled)
            throw UDPSockError("Host Lookup Canceled");
    }
}

void TUDPEndpoint::ReportStatus(std::int32_t level, const std::string& text)
{
    if (level > reportLevel_ || !OnStatus)
        return;
    const TOnStatus handler = OnStatus;
    handler(*this, text);
}

void TUDPEndpoint::ErrorManager(int tolerated, int error)
{
    ReportStatus(16, "Checking Error In Error Manager");
    if (error == tolerated)
        return;
    throw UDPSockError(ErrorMessageText(error));
}

std::string TUDPEndpoint::ErrorMessageText(int error, std::string text)
{
    if (error != 0 && text.empty())
        text = "Unknown Error No. " + std::to_string(error);
    ReportStatus(8, "Looking Up Error Message" + text);
    return text;
}

} // namespace lobby
