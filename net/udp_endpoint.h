#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "net/datagram_endpoint.h"
#include "net/host_lookup.h"
#include "net/received_datagram.h"
#include "net/udp_socket.h"
#include "platform/event_loop.h"
#include "platform/stream.h"

namespace lobby {

// The server's datagram endpoint: one IPv4 UDP socket bound to LocalPort on every local
// address. A readable callback takes what is queued, up to kReceiveBatch datagrams, with one
// receive, and hands them over in arrival order: to OnReceiveBatch, when assigned, called
// once per batch to take them one by one (Next), else to OnDataReceived, one call each. The
// loop calls again while more are queued, so timers and signals get their turn between any
// two batches. SendDatagram sends a whole stream as one datagram to RemoteHost:RemotePort.
//
// Re-entrancy, decided here and nowhere else. Everything runs on the loop's thread. A send
// to a dotted address neither waits nor dispatches; a send to a host name dispatches the
// loop's events until the name is looked up, and the readable callback is registered
// reentrant so the lobby is not deaf meanwhile. Run inside that send, the callback first
// hands out what the outer run took and has not handed out yet (a batch handler run this
// way takes them, so arrival order is kept and the outer one finds none left), then
// receives anew into the same storage. So a handler copies a datagram's Bytes before
// anything that may send. Only one lookup waits at a time: a send to a host name made
// during another's lookup fails ("Host lookup already in progress"), so the callback runs
// at most two deep.
class TUDPEndpoint : public DatagramEndpoint {
public:
    static constexpr std::int64_t kBufferSize = 2048;  // receive buffer and largest datagram sent
    static constexpr std::size_t kMaxHostLength = 127; // longest RemoteHost accepted
    // Datagrams taken by one receive at most: 64 small requests are handled in a few hundred
    // microseconds, so the last of a batch is not kept waiting long behind the first.
    static constexpr std::size_t kReceiveBatch = 64;

    // NumberBytes is -1 for a failed receive (a datagram longer than kBufferSize included).
    using TOnReceive = std::function<void(TUDPEndpoint& sender, std::int32_t NumberBytes,
                                          const std::string& FromIP, std::int32_t Port)>;
    using TNotifyEvent = std::function<void(TUDPEndpoint& sender)>;
    // The datagrams taken together, once per batch. What the handler leaves untaken is
    // handed out by the next readable callback, which the loop is asked for.
    using TOnReceiveBatch = std::function<void(TUDPEndpoint& sender, ReceivedBatch& batch)>;
    using TOnStatus = std::function<void(TUDPEndpoint& sender, const std::string& status)>;
    using THandlerEvent = std::function<void(bool& handled)>;
    using TStreamInvalid = std::function<void(bool& handled, TStream& Stream)>;
    using TBuffInvalid = std::function<void(bool& handled, std::span<char>& Buff, std::int32_t& length)>;

    // Creates an unbound socket; the owner binds it by assigning LocalPort (or BindLocal).
    // Raises UDPSockError "Unknown Error No. " + errno when the system refuses a socket.
    explicit TUDPEndpoint(EventLoop& loop);
    ~TUDPEndpoint() override;
    TUDPEndpoint(const TUDPEndpoint&) = delete;
    TUDPEndpoint& operator=(const TUDPEndpoint&) = delete;

    // Destination of SendDatagram: dotted IPv4 text or a host name; a plain store.
    const std::string& RemoteHost() const override { return remoteHost_; }
    void SetRemoteHost(std::string host) override { remoteHost_ = std::move(host); }

    // Destination port; only its low 16 bits are used. A plain store.
    std::int32_t RemotePort() const { return remotePort_; }
    void SetRemotePort(std::int32_t port) { remotePort_ = port; }

    // Closes the socket, makes a new one and binds it to the low 16 bits of port (0: the
    // system picks one, see BoundPort). Also when port equals the current value. Raises
    // UDPSockError when no socket can be made (LocalPort keeps its old value) or when the
    // bind fails (LocalPort takes the new value; the endpoint stays unbound and deaf until
    // LocalPort is assigned again). In both cases the old socket is already closed.
    std::int32_t LocalPort() const { return localPort_; }
    void SetLocalPort(std::int32_t port);

    // A status report of level L reaches OnStatus only when L <= ReportLevel.
    std::int32_t ReportLevel() const { return reportLevel_; }
    void SetReportLevel(std::int32_t level) { reportLevel_ = level; }

    // The port the socket is actually bound to (what LocalPort 0 turned into), 0 if unbound.
    std::uint16_t BoundPort() const { return bound_ ? socket_.BoundPort() : 0; }

    // Binds the socket to LocalPort unless it is bound already, then (re)registers for
    // readable notifications. Raises UDPSockError naming the port and the system's reason
    // when the bind fails, so a taken port is never served silently by a deaf endpoint.
    void BindLocal();

    // Writes the most recent datagram (the one last handed out) at the stream's position with
    // the stream's exact-count write, then rewinds the stream. Before any datagram it writes
    // nothing. After a failed receive it raises the stream's "Stream write error", since the
    // count is -1.
    void ReadDatagram(TStream& stream);

    // Sends the whole stream as one datagram to RemoteHost at RemotePort, from the bound port.
    // Raises Exception "Invalid stream" for an empty stream that OnStreamInvalid did not fill;
    // UDPSockError for a stream over kBufferSize bytes, a RemoteHost over kMaxHostLength
    // characters, "Host Lookup Canceled" or "Null Remote Address"; nothing is sent then. A
    // datagram the system refuses is not an error (UDP promises no delivery anyway): it is
    // counted in SendFailures and OnDataSend is not raised. Leaves the stream at its end.
    void SendDatagram(TStream& stream) override;

    // RemoteHost's rule for host without the lookup: a dotted address (or any text inet_addr
    // reads) gives its address; a host over kMaxHostLength characters raises, and so does
    // one that reads as 0.0.0.0 ("Null Remote Address"); any other text needs a lookup.
    std::optional<std::uint32_t> ResolveWithoutLookup(std::string_view host) override;

    // Sends the datagrams to their addresses at RemotePort with as few system calls as the
    // system allows. Reports "Sending Data" (level 2) before each datagram and raises OnDataSend for
    // each one the system took; one it refused is counted in SendFailures.
    void SendBatch(std::span<const OutgoingDatagram> datagrams) override;

    // Datagrams the system refused to send since construction.
    std::uint64_t SendFailures() const { return sendFailures_; }
    // The most recent datagram's count: 0 before the first, -1 after a failed receive.
    std::int32_t ReceivedCount() const { return receivedCount_; }

    // Calls OnStatus(text) when level <= ReportLevel and a handler is assigned.
    void ReportStatus(std::int32_t level, const std::string& text);

    // Returns when error equals tolerated (exactly: another number never passes as success);
    // otherwise raises UDPSockError with ErrorMessageText(error). Reports at level 16 first.
    void ErrorManager(int tolerated, int error);

    // "Unknown Error No. " + error when error is not 0 and text is empty, else text unchanged;
    // reports "Looking Up Error Message" + the result at level 8.
    std::string ErrorMessageText(int error, std::string text = {});

    // Where host names are looked up (the system's resolver by default; tests put their own
    // here). It runs on a worker thread.
    void SetHostResolver(HostResolver resolver) { lookup_.SetResolver(std::move(resolver)); }
    // How long a send waits for a lookup before it counts as failed; 10 seconds by default.
    void SetLookupTimeoutMs(int timeoutMs) { lookup_.SetTimeoutMs(timeoutMs); }

    TOnReceive OnDataReceived;
    // Unassigned, the datagrams are announced through OnDataReceived one after another.
    TOnReceiveBatch OnReceiveBatch;
    TNotifyEvent OnDataSend;
    TOnStatus OnStatus;
    THandlerEvent OnInvalidHost;
    TStreamInvalid OnStreamInvalid;
    // Kept so owners can assign it; nothing in the endpoint raises it.
    TBuffInvalid OnBufferInvalid;

private:
    // Replaces the socket with a new unbound one; raises UDPSockError "Unknown Error No. "
    // when the system refuses (the endpoint is then left without a socket).
    void OpenSocket();
    // One run of the readable callback, on the stack, and the batch it hands out.
    class ReceiveRun;
    // The readable callback: takes what is queued, unless something taken earlier has not
    // been handed out yet, and hands it over. A handler may destroy the endpoint (every run
    // on the stack is then told, and touches it no more) or move it to another port (what
    // was taken from the old socket and not handed out yet is dropped with it).
    void ReceiveDatagrams();
    // Fills the queue with one receive; false when nothing was taken (nothing queued). A
    // receive that fails outright is queued as one failed datagram, to be handed out.
    bool TakeQueued();
    // Hands out the next queued datagram and makes it the most recent; false when none is left.
    bool TakeNext(ReceivedDatagram& datagram);
    // Announces the queued datagrams in order through OnDataReceived, until none is left or
    // run is gone.
    void AnnounceQueued(ReceiveRun& run);
    // RemoteHost as an IPv4 address in network byte order: by inet_addr's rule, else by a
    // lookup, retried once when OnInvalidHost sets handled. Raises UDPSockError for a host
    // over kMaxHostLength characters and "Host Lookup Canceled" when the lookup fails.
    std::uint32_t ResolveRemoteHost();

    EventLoop& loop_;
    std::string remoteHost_;
    std::int32_t remotePort_ = 0;
    std::int32_t localPort_ = 0;
    std::int32_t reportLevel_ = 1;

    // The most recent datagram's bytes: a view into batchBytes_, or into receiveBuffer_ once
    // a receive has refilled batchBytes_ before anything else was handed out.
    std::string_view recent_;
    std::array<char, kBufferSize> receiveBuffer_{};
    std::int32_t receivedCount_ = 0;
    // Datagrams taken and not yet handed out: batchBytes_ holds the i-th at i * kBufferSize.
    std::vector<char> batchBytes_;
    std::array<UdpSocket::Received, kReceiveBatch> batch_{};
    std::size_t batchNext_ = 0;
    std::size_t batchCount_ = 0;
    ReceiveRun* runs_ = nullptr; // the innermost run of the readable callback on the stack
    std::uint64_t sendFailures_ = 0;
    std::uint32_t lastSource_ = 0;  // the last sender's address (network byte order)...
    std::string lastSourceText_;    // ...as dotted text

    HostLookup lookup_;
    UdpSocket socket_;
    bool bound_ = false;
    // Declared after socket_ so that it is destroyed first: the loop stops watching a
    // descriptor before the descriptor is closed.
    std::unique_ptr<EventLoop::Registration> watch_;
};

} // namespace lobby
