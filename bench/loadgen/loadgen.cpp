// loadgen: many simulated game clients on one epoll loop, for measuring a lobby server (or
// the bare comparison server) from outside. Client i has its own loopback address
// (load_plan::ClientAddress) and listens on the reply port there, as a game client does;
// the last --senders clients send the request template with their index put in for "{i}"
// (and, where it holds "{sign}", alternately nothing and "-" there; "{n}" becomes the
// request's number, counted from 0 over the whole run). Given more than once, --template
// makes each client send the templates in turn. With --first-client K
// the clients are K, K+1, ..., so two generators can run side by side; with --reply-prefix
// only datagrams that start with it count as replies (a lobby broadcasts other things too).
// With --shared-replies a request is answered by --expect replies arriving at any clients,
// oldest request first: for requests whose answer is a broadcast to every sender, so that the
// window holds that many requests in flight however the answers spread.
// At full speed a window of requests is kept in flight; with --rate the requests go out on
// a fixed schedule whatever the replies do. Every run is bounded by --count and --seconds,
// then waits at most --timeout-ms for stragglers.
//
// Printed, one line of key=value pairs: requests sent, elapsed seconds, requests and
// datagrams received per second, latency percentiles from a request to its sender's reply,
// and replies lost (datagrams expected, --expect per request, that never arrived).
//
// Replies are matched to requests first-in first-out per sender: the server answers in
// order, so with one sender (or senders that never receive each other's traffic) the match
// is exact. A reply later than --timeout-ms counts as lost and frees its window slot. With
// --match-number a reply is matched instead to the request whose number it ends with (a
// chat line repeats the text sent), so a reply lost or late under a flood cannot be taken
// for the answer to the next request; on_time counts the answers within --deadline-ms.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include "platform/posix/file_descriptor.h"
#include <vector>

#include "bench/loadgen/load_plan.h"

using namespace lobby;

namespace {

using load_plan::ParseWhole;

constexpr int kMaxEvents = 256;
constexpr int kReceivesPerWake = 256; // per socket and wake, so one busy socket cannot starve the rest
constexpr int kBatch = 32;            // datagrams per sendmmsg or recvmmsg call
constexpr long long kRateTickNs = 50'000; // the shortest send tick at a fixed rate
constexpr int kReceiveBufferBytes = 1 << 20;
constexpr long long kProbeIntervalNs = 10'000'000;

struct Options {
    std::string server = "127.0.0.1";
    int serverPort = 12001;
    int clientPort = 12000;
    int clients = 1;
    int senders = -1; // -1: every client sends
    std::vector<std::string> templates;
    int expect = 1;
    long long count = 100000;
    int seconds = 5;
    long long rate = 0; // requests a second; 0: full speed
    int window = 16;
    int timeoutMs = 1000;
    bool probe = false;
    long long sinceNs = -1; // CLOCK_REALTIME of the moment the probe's time counts from
    int firstClient = 0;
    std::string replyPrefix;
    bool sharedReplies = false;
    bool matchNumber = false;
    int deadlineMs = 1000;
};

long long MonotonicNs()
{
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1'000'000'000LL + t.tv_nsec;
}

long long RealtimeNs()
{
    timespec t{};
    ::clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<long long>(t.tv_sec) * 1'000'000'000LL + t.tv_nsec;
}

// Ends the program through main with text as the one line on standard error.
[[noreturn]] void Fail(const std::string& text)
{
    throw std::runtime_error(text);
}

sockaddr_in Address(const std::string& dotted, int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::inet_pton(AF_INET, dotted.c_str(), &address.sin_addr) != 1)
        Fail("not an IPv4 address: " + dotted);
    return address;
}

// A non-blocking UDP socket bound to client index's address at port. Raises naming the
// address when the system refuses (no loopback up, the port taken there).
FileDescriptor ClientSocket(int index, int port)
{
    const std::string dotted = load_plan::ClientAddress(index);
    FileDescriptor fd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (fd.Get() < 0)
        Fail(std::string("socket: ") + std::strerror(errno));
    const int size = kReceiveBufferBytes;
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    const sockaddr_in local = Address(dotted, port);
    if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
        Fail("cannot bind " + dotted + ":" + std::to_string(port) + ": " + std::strerror(errno));
    return fd;
}

struct Client {
    FileDescriptor fd;
    std::vector<std::string> requests; // sent in turn: the templates, each with both signs
    std::size_t next = 0;
    bool sender = false;
    std::deque<long long> outstanding; // send times of requests not yet answered, oldest first
};

struct Tally {
    long long sent = 0;
    long long sendErrors = 0;
    long long received = 0;
    long long expired = 0; // requests whose reply came later than the timeout, or never
    long long firstSendNs = 0;
    long long lastSendNs = 0;
    long long lastReceiveNs = 0;
    std::vector<std::uint32_t> latencyNs; // each at most 2^32 - 1 ns (4.3 s)
    long long maxLatencyNs = -1;          // the longest, however long
};

// The whole run: sockets, the send schedule, receiving and matching, the final tally.
class LoadRun {
public:
    explicit LoadRun(const Options& options) : options_(options), server_(Address(options.server, options.serverPort))
    {
        epoll_ = FileDescriptor(::epoll_create1(EPOLL_CLOEXEC));
        timer_ = FileDescriptor(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
        if (epoll_.Get() < 0 || timer_.Get() < 0)
            Fail(std::string("epoll or timerfd: ") + std::strerror(errno));
        const int senders = options.senders < 0 ? options.clients : options.senders;
        clients_.resize(static_cast<std::size_t>(options.clients));
        for (int i = 0; i < options.clients; ++i) {
            Client& client = clients_[static_cast<std::size_t>(i)];
            client.fd = ClientSocket(options.firstClient + i, options.clientPort);
            for (const std::string& requestTemplate : options.templates) {
                const std::string request = load_plan::SubstituteIndex(requestTemplate, options.firstClient + i);
                client.requests.push_back(load_plan::SubstituteSign(request, false));
                if (const std::string negative = load_plan::SubstituteSign(request, true); negative != request)
                    client.requests.push_back(negative);
                numbered_ = numbered_ || request.find("{n}") != std::string::npos;
            }
            client.sender = i >= options.clients - senders;
            if (client.sender)
                senderIndices_.push_back(i);
            Watch(client.fd.Get(), static_cast<std::uint32_t>(i));
        }
        Watch(timer_.Get(), kTimerTag);
        tally_.latencyNs.reserve(static_cast<std::size_t>(std::min<long long>(options.count, 10'000'000)));
    }

    // Sends until --count or --seconds, then waits for the replies still due; returns the tally.
    const Tally& Run()
    {
        const long long start = MonotonicNs();
        const long long sendDeadline = start + options_.seconds * 1'000'000'000LL;
        const long long intervalNs = options_.rate > 0 ? 1'000'000'000LL / options_.rate : 0;
        long long nextDue = start;
        long long lastExpiryCheck = start;
        const long long timeoutNs = options_.timeoutMs * 1'000'000LL;
        // At a fixed rate the timer ticks with the schedule, but at least kRateTickNs apart:
        // at high rates the requests due since the last tick go out together, as one call,
        // so the generator keeps up with the schedule instead of falling behind it.
        if (options_.rate > 0)
            ArmPeriodicTimer(start, std::max(intervalNs, kRateTickNs));

        for (;;) {
            const long long now = MonotonicNs();
            const bool sending = tally_.sent < options_.count && now < sendDeadline;
            if (sending) {
                if (options_.rate > 0) {
                    // Open loop: requests that fell due while the loop was busy go now.
                    const long long due =
                        nextDue > now ? 0 : std::min((now - nextDue) / intervalNs + 1, options_.count - tally_.sent);
                    if (due > 0)
                        nextDue += SendBurst(now, due) * intervalNs;
                } else {
                    SendBurst(now, std::min<long long>(options_.window - inFlight_, options_.count - tally_.sent));
                }
            } else if (Drained() || now >= tally_.lastSendNs + timeoutNs) {
                break;
            }
            if (now - lastExpiryCheck >= 10'000'000) {
                ExpireOlderThan(now - timeoutNs);
                lastExpiryCheck = now;
            }
            Wait(sending && options_.rate == 0 && inFlight_ < options_.window ? 0 : 10);
        }
        ExpireOlderThan(MonotonicNs() + 1); // whatever is still unanswered is lost
        return tally_;
    }

    // The datagrams the requests sent so far should bring, all clients together.
    long long Expected() const { return tally_.sent * options_.expect; }

private:
    static constexpr std::uint32_t kTimerTag = 0xFFFFFFFFu;

    // Adds fd to the epoll set; its events come back carrying tag.
    void Watch(int fd, std::uint32_t tag)
    {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u32 = tag;
        if (::epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, fd, &event) != 0)
            Fail(std::string("epoll_ctl: ") + std::strerror(errno));
    }

    // Makes the timerfd fire every periodNs from startNs on the monotonic clock.
    void ArmPeriodicTimer(long long startNs, long long periodNs)
    {
        itimerspec ticks{};
        ticks.it_value.tv_sec = (startNs + periodNs) / 1'000'000'000LL;
        ticks.it_value.tv_nsec = (startNs + periodNs) % 1'000'000'000LL;
        ticks.it_interval.tv_sec = periodNs / 1'000'000'000LL;
        ticks.it_interval.tv_nsec = periodNs % 1'000'000'000LL;
        if (::timerfd_settime(timer_.Get(), TFD_TIMER_ABSTIME, &ticks, nullptr) != 0)
            Fail(std::string("timerfd_settime: ") + std::strerror(errno));
    }

    // Sends up to wanted requests, the senders taking turns, each turn's share in one
    // sendmmsg call (the generator must outpace the server it measures, so it spends as few
    // system calls per request as it can). Returns how many went out; a refusal by the system
    // is counted and ends the burst.
    long long SendBurst(long long now, long long wanted)
    {
        const long long senders = static_cast<long long>(senderIndices_.size());
        long long done = 0;
        while (done < wanted) {
            Client& client = clients_[static_cast<std::size_t>(senderIndices_[nextSender_])];
            nextSender_ = (nextSender_ + 1) % senderIndices_.size();
            const long long share = std::max<long long>(1, (wanted - done) / senders);
            const int batch = static_cast<int>(std::min<long long>({share, wanted - done, kBatch}));
            mmsghdr messages[kBatch];
            iovec pieces[kBatch];
            std::string numbered[kBatch];
            for (int m = 0; m < batch; ++m) {
                std::string* request = &client.requests[client.next];
                client.next = (client.next + 1) % client.requests.size();
                if (numbered_) {
                    numbered[m] = load_plan::SubstituteNumber(*request, tally_.sent + m);
                    request = &numbered[m];
                }
                pieces[m] = iovec{request->data(), request->size()};
                messages[m] = mmsghdr{};
                messages[m].msg_hdr.msg_name = const_cast<sockaddr_in*>(&server_);
                messages[m].msg_hdr.msg_namelen = sizeof server_;
                messages[m].msg_hdr.msg_iov = &pieces[m];
                messages[m].msg_hdr.msg_iovlen = 1;
            }
            const int sent = ::sendmmsg(client.fd.Get(), messages, static_cast<unsigned>(batch), 0);
            if (sent <= 0) {
                ++tally_.sendErrors;
                return done;
            }
            if (tally_.sent == 0)
                tally_.firstSendNs = now;
            tally_.lastSendNs = now;
            tally_.sent += sent;
            inFlight_ += sent;
            for (int m = 0; m < sent; ++m) {
                if (options_.matchNumber)
                    byNumber_[tally_.sent - sent + m] = now;
                else
                    (options_.sharedReplies ? shared_ : client.outstanding).push_back(now);
            }
            done += sent;
        }
        return done;
    }

    // Every reply expected has arrived and every request is answered.
    bool Drained() const { return inFlight_ == 0 && tally_.received >= Expected(); }

    // Counts as lost, and frees the window slots of, the requests sent before limitNs that
    // are still unanswered.
    void ExpireOlderThan(long long limitNs)
    {
        const auto expire = [&](std::deque<long long>& outstanding) {
            while (!outstanding.empty() && outstanding.front() < limitNs) {
                outstanding.pop_front();
                --inFlight_;
                ++tally_.expired;
            }
        };
        expire(shared_);
        for (auto entry = byNumber_.begin(); entry != byNumber_.end();) {
            if (entry->second >= limitNs) {
                ++entry;
                continue;
            }
            entry = byNumber_.erase(entry);
            --inFlight_;
            ++tally_.expired;
        }
        for (int index : senderIndices_)
            expire(clients_[static_cast<std::size_t>(index)].outstanding);
    }

    // Waits up to timeoutMs for datagrams (0: only looks) and takes in what arrived.
    void Wait(int timeoutMs)
    {
        epoll_event events[kMaxEvents];
        const int ready = ::epoll_wait(epoll_.Get(), events, kMaxEvents, timeoutMs);
        if (ready < 0 && errno != EINTR)
            Fail(std::string("epoll_wait: ") + std::strerror(errno));
        // Senders' sockets first: their replies carry the latency, and reading the others
        // first would add the generator's own work to it.
        for (const bool senders : {true, false}) {
            for (int e = 0; e < ready; ++e) {
                const std::uint32_t tag = events[e].data.u32;
                if (tag == kTimerTag) {
                    if (senders) {
                        std::uint64_t expirations = 0;
                        [[maybe_unused]] const ssize_t n = ::read(timer_.Get(), &expirations, sizeof expirations);
                    }
                    continue;
                }
                if (clients_[tag].sender == senders)
                    ReceiveFrom(clients_[tag]);
            }
        }
    }

    // Takes what has arrived for client, kBatch datagrams a call, at most kReceivesPerWake.
    void ReceiveFrom(Client& client)
    {
        static char buffers[kBatch][2048];
        mmsghdr messages[kBatch];
        iovec pieces[kBatch];
        for (int got = 0; got < kReceivesPerWake;) {
            for (int m = 0; m < kBatch; ++m) {
                pieces[m] = iovec{buffers[m], sizeof buffers[m]};
                messages[m] = mmsghdr{};
                messages[m].msg_hdr.msg_iov = &pieces[m];
                messages[m].msg_hdr.msg_iovlen = 1;
            }
            const int n = ::recvmmsg(client.fd.Get(), messages, kBatch, MSG_DONTWAIT, nullptr);
            if (n <= 0)
                return;
            got += n;
            const long long now = MonotonicNs();
            int replies = n;
            if (!options_.replyPrefix.empty() || options_.matchNumber) {
                replies = 0;
                const std::string& prefix = options_.replyPrefix;
                for (int m = 0; m < n; ++m) {
                    if (messages[m].msg_len < prefix.size() || std::memcmp(buffers[m], prefix.data(), prefix.size()) != 0)
                        continue;
                    ++replies;
                    if (options_.matchNumber && client.sender)
                        MatchNumbered(std::string_view(buffers[m], messages[m].msg_len), now);
                }
                if (options_.matchNumber) {
                    tally_.received += replies;
                    if (replies > 0)
                        tally_.lastReceiveNs = now;
                    if (n < kBatch)
                        return;
                    continue;
                }
            }
            tally_.received += replies;
            if (replies > 0)
                tally_.lastReceiveNs = now;
            if (options_.sharedReplies) {
                sharedReplies_ += replies;
                for (; sharedReplies_ >= options_.expect && !shared_.empty(); sharedReplies_ -= options_.expect) {
                    const long long latency = now - shared_.front();
                    shared_.pop_front();
                    --inFlight_;
                    Record(latency);
                }
                replies = 0;
            }
            for (int m = 0; m < replies && client.sender && !client.outstanding.empty(); ++m) {
                const long long latency = now - client.outstanding.front();
                client.outstanding.pop_front();
                --inFlight_;
                Record(latency);
            }
            if (n < kBatch)
                return;
        }
    }

    void Record(long long latencyNs)
    {
        tally_.latencyNs.push_back(static_cast<std::uint32_t>(std::min<long long>(latencyNs, 0xFFFFFFFFLL)));
        tally_.maxLatencyNs = std::max(tally_.maxLatencyNs, latencyNs);
    }

    // The answer to the request whose number reply ends with, if it is still waited for.
    void MatchNumbered(std::string_view reply, long long now)
    {
        const auto number = load_plan::TrailingNumber(reply);
        const auto entry = number ? byNumber_.find(*number) : byNumber_.end();
        if (entry == byNumber_.end())
            return;
        Record(now - entry->second);
        byNumber_.erase(entry);
        --inFlight_;
    }

    const Options& options_;
    const sockaddr_in server_;
    FileDescriptor epoll_;
    FileDescriptor timer_;
    std::vector<Client> clients_;
    std::vector<int> senderIndices_;
    std::size_t nextSender_ = 0;
    long long inFlight_ = 0;
    std::deque<long long> shared_; // with --shared-replies: send times of unanswered requests
    long long sharedReplies_ = 0;  // replies not yet enough to answer the oldest of them
    std::map<long long, long long> byNumber_; // with --match-number: number, send time
    bool numbered_ = false;                   // a template holds "{n}"
    Tally tally_;
};

// Prints the run's one report line; expected is the datagrams the requests should have brought.
void PrintTally(const Tally& tally, long long expected, int deadlineMs)
{
    const long long endNs = std::max(tally.lastReceiveNs, tally.lastSendNs);
    const double seconds = tally.sent > 0 ? static_cast<double>(endNs - tally.firstSendNs) / 1e9 : 0.0;
    std::vector<std::uint32_t> sorted = tally.latencyNs;
    std::sort(sorted.begin(), sorted.end());
    const auto micros = [&](double p) {
        const auto value = load_plan::PercentileOfSorted(sorted, p);
        return value ? static_cast<double>(*value) / 1000.0 : -1.0;
    };
    const double perSecond = seconds > 0 ? 1.0 / seconds : 0.0;
    const auto onTime = std::count_if(sorted.begin(), sorted.end(), [&](std::uint32_t ns) {
        return std::uint64_t{ns} <= static_cast<std::uint64_t>(deadlineMs) * 1'000'000u;
    });
    std::printf("sent=%lld seconds=%.3f req_per_s=%.0f dgrams_per_s=%.0f received=%lld answered=%zu "
                "p50_us=%.1f p99_us=%.1f p999_us=%.1f lost=%lld late=%lld send_errors=%lld max_us=%.1f on_time=%ld\n",
                tally.sent, seconds, static_cast<double>(tally.sent) * perSecond,
                static_cast<double>(tally.received) * perSecond, tally.received, tally.latencyNs.size(), micros(50),
                micros(99), micros(99.9), std::max(expected - tally.received, 0LL), tally.expired,
                tally.sendErrors, static_cast<double>(tally.maxLatencyNs) / 1000.0, static_cast<long>(onTime));
}

// Sends the template from client 0 every 10 ms until a datagram comes back or --seconds
// pass; prints how long that took, from --since (a CLOCK_REALTIME instant in nanoseconds,
// taken when the server was started) or from the probe's own start. Returns the exit status.
int Probe(const Options& options)
{
    const long long startReal = options.sinceNs >= 0 ? options.sinceNs : RealtimeNs();
    const long long deadline = MonotonicNs() + options.seconds * 1'000'000'000LL;
    const FileDescriptor fd = ClientSocket(options.firstClient, options.clientPort);
    const sockaddr_in server = Address(options.server, options.serverPort);
    const std::string request =
        load_plan::SubstituteSign(load_plan::SubstituteIndex(options.templates.front(), options.firstClient), false);
    long long nextSend = 0;
    while (MonotonicNs() < deadline) {
        if (MonotonicNs() >= nextSend) {
            ::sendto(fd.Get(), request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&server),
                     sizeof server);
            nextSend = MonotonicNs() + kProbeIntervalNs;
        }
        pollfd watched{fd.Get(), POLLIN, 0};
        if (::poll(&watched, 1, 1) <= 0)
            continue;
        char buffer[2048];
        if (::recv(fd.Get(), buffer, sizeof buffer, MSG_DONTWAIT) >= 0) {
            std::printf("ready_ms=%.1f\n", static_cast<double>(RealtimeNs() - startReal) / 1e6);
            return 0;
        }
    }
    std::printf("ready_ms=-1\n");
    return 1;
}

const char* const kUsage =
    "usage: loadgen --template T [--clients C] [--senders S] [--expect K] [--count N] [--seconds S]\n"
    "               [--rate R | --window W] [--timeout-ms T] [--server A] [--server-port P] [--port P]\n"
    "               [--first-client K] [--reply-prefix P] [--shared-replies]\n"
    "               [--match-number] [--deadline-ms D]\n"
    "       loadgen --probe --template T [--since REALTIME_NS] [--seconds S] ...\n"
    "  client i listens on 127.0.(1+i/254).(1+i%254):PORT; the last S clients send T with {i} = index\n"
    "  (i from K on), {sign} alternately empty and \"-\", {n} the request's number; several\n"
    "  --template are sent in turn; only replies starting with P count;\n"
    "  K is the datagrams each request brings, all clients together (for the lost count).\n";

// Reads the command line; raises std::invalid_argument naming what is wrong.
Options ParseOptions(int argc, char** argv)
{
    Options options;
    const std::initializer_list<load_plan::Flag> flags = {
        {"--probe", &options.probe}, {"--shared-replies", &options.sharedReplies}, {"--match-number", &options.matchNumber}};
    load_plan::ForEachOption(argc, argv, flags, [&](std::string_view name, std::string_view value) {
        if (name == "--template")
            options.templates.emplace_back(value);
        else if (name == "--server")
            options.server = value;
        else if (name == "--server-port")
            options.serverPort = static_cast<int>(ParseWhole(name, value, 1, 65535));
        else if (name == "--port")
            options.clientPort = static_cast<int>(ParseWhole(name, value, 1, 65535));
        else if (name == "--clients")
            options.clients = static_cast<int>(ParseWhole(name, value, 1, load_plan::kMaxClients));
        else if (name == "--senders")
            options.senders = static_cast<int>(ParseWhole(name, value, 1, load_plan::kMaxClients));
        else if (name == "--expect")
            options.expect = static_cast<int>(ParseWhole(name, value, 0, 1'000'000));
        else if (name == "--count")
            options.count = ParseWhole(name, value, 1, 100'000'000);
        else if (name == "--seconds")
            options.seconds = static_cast<int>(ParseWhole(name, value, 1, 600));
        else if (name == "--rate")
            options.rate = ParseWhole(name, value, 0, 10'000'000);
        else if (name == "--window")
            options.window = static_cast<int>(ParseWhole(name, value, 1, 100'000));
        else if (name == "--timeout-ms")
            options.timeoutMs = static_cast<int>(ParseWhole(name, value, 1, 60'000));
        else if (name == "--first-client")
            options.firstClient = static_cast<int>(ParseWhole(name, value, 0, load_plan::kMaxClients - 1));
        else if (name == "--reply-prefix")
            options.replyPrefix = value;
        else if (name == "--deadline-ms")
            options.deadlineMs = static_cast<int>(ParseWhole(name, value, 1, 60'000));
        else if (name == "--since")
            options.sinceNs = ParseWhole(name, value, 0, 4'000'000'000'000'000'000LL);
        else
            throw std::invalid_argument("unknown option " + std::string(name));
    });
    if (options.templates.empty() || options.templates.front().empty())
        throw std::invalid_argument("--template is required");
    if (options.senders > options.clients)
        throw std::invalid_argument("--senders cannot exceed --clients");
    if (options.firstClient + options.clients > load_plan::kMaxClients)
        throw std::invalid_argument("--first-client and --clients reach past the last client address");
    return options;
}

} // namespace

int main(int argc, char** argv)
{
    return load_plan::RunProgram("loadgen", kUsage, argc, argv, [&] {
        const Options options = ParseOptions(argc, argv);
        if (options.probe)
            return Probe(options);
        LoadRun run(options);
        const Tally& tally = run.Run();
        PrintTally(tally, run.Expected(), options.deadlineMs);
        return 0;
    });
}
