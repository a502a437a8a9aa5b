#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "net/datagram_endpoint.h"
#include "net/host_lookup.h"
#include "net/udp_socket.h"
#include "platform/event_loop.h"
#include "platform/stream.h"

namespace lobby {

// The server's datagram endpoint: one IPv4 UDP socket bound to LocalPort on every local
// address. Each datagram that arrives is read on the loop's thread, kept until the next one
// arrives, and announced through OnDataReceived; SendDatagram sends a whole stream as one
// datagram to RemoteHost:RemotePort. A readable callback takes what is queued, up to
// kReceiveBatch datagrams, with one receive, and announces them one by one in arrival order
// (inside OnReceiveBatch, when assigned, so the owner can hand over their answers together);
// the loop calls again while more are queued, so timers and signals get their turn between
// any two batches, and a batch is short enough that none waits long behind the others.
//
// Everything runs on the loop's thread. A send to a dotted address neither waits nor
// dispatches events; a send to a host name dispatches the loop's events until the name has
// been looked up, so handlers may run nested inside SendDatagram, OnDataReceived included
// even when the send was made from OnDataReceived itself (the readable callback is
// registered reentrant). A nested receive overwrites the buffer: a handler copies its
// datagram (ReadDatagram) before anything that may send. Only one lookup waits at a time,
// so a nested send to a host name fails ("Host lookup already in progress") and nesting
// goes no deeper than one request inside the waiting one.
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
    // Wraps the announcements of the datagrams taken together: announce raises OnDataReceived
    // for each of them, in order, and must be called once.
    using TOnReceiveBatch = std::function<void(TUDPEndpoint& sender, const std::function<void()>& announce)>;
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

    // Writes the most recent datagram at the stream's position with the stream's exact-count
    // write, then rewinds the stream. Before any datagram it writes nothing. After a failed
    // receive it raises the stream's "Stream write error", since the count is -1.
    void ReadDatagram(TStream& stream) override;

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

    // The most recent datagram (its first kBufferSize bytes when it was longer), kept from its
    // receive until the next; the count is 0 before the first and -1 after a failed receive.
    const char* ReceiveBuffer() const { return receiveBuffer_.data(); }
    // Datagrams the system refused to send since construction.
    std::uint64_t SendFailures() const { return sendFailures_; }
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
    // Unassigned, the datagrams are announced one after another with nothing around them.
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
    // One run of the readable callback, on the stack: the endpoint's destructor marks every
    // run still on the stack, so none touches an endpoint that a handler destroyed.
    struct ReceiveRun {
        ReceiveRun* outer;
        bool gone = false;
    };
    // The readable callback: takes what is queued (when nothing taken earlier still waits)
    // and announces it. A handler may destroy the endpoint or move it to another port (what
    // was taken from the old socket and not yet announced is dropped with it); it may also
    // run this again nested (during a lookup): the nested run announces first what the outer
    // one took and has not announced yet, so requests are handled in arrival order, and what
    // it hands a handler (FromIP, the count) lives in its own frame.
    void ReceiveDatagrams();
    // Fills the queue with one receive; false when nothing was taken (nothing queued). A
    // receive that fails outright is queued as one failed datagram, to be announced.
    bool TakeQueued();
    // Announces the queued datagrams in order, until none is left or run is gone.
    void AnnounceQueued(const ReceiveRun& run);
    // RemoteHost as an IPv4 address in network byte order: by inet_addr's rule, else by a
    // lookup, retried once when OnInvalidHost sets handled. Raises UDPSockError for a host
    // over kMaxHostLength characters and "Host Lookup Canceled" when the lookup fails.
    std::uint32_t ResolveRemoteHost();

    EventLoop& loop_;
    std::string remoteHost_;
    std::int32_t remotePort_ = 0;
    std::int32_t localPort_ = 0;
    std::int32_t reportLevel_ = 1;

    std::array<char, kBufferSize> receiveBuffer_{};
    std::int32_t receivedCount_ = 0;
    // Datagrams taken and not yet announced: batchBytes_ holds the i-th at i * kBufferSize.
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
