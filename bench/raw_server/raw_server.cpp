// raw_server: the floor a lobby server is measured against. A bare single-threaded POSIX
// loop that does for each request only the system calls the lobby cannot avoid, in the
// lobby's order: receive one datagram, write one log line to a file, then for each of K
// recipients write one log line and send one datagram to the reply port. Nothing is
// buffered in the process, so every line has reached the operating system before the next
// step, as the lobby's traffic log promises.
//
// Recipients are the load generator's clients 0..K-1 (load_plan::ClientAddress), in that
// order; each gets the request's bytes back. With --save FILE, each request also writes
// FILE's bytes (read once at start) to FILE.tmp, flushes it to disk and renames it over
// FILE, after the received line and before the sends: the bare cost of saving a registry.
//
// With --batched it does the same work with the fewest system calls a lobby could: all of a
// request's lines (the received one and one per recipient) in one write, then all of its
// datagrams in one sendmmsg (1024 a call at most). That is the batched floor; the default is
// the per-message floor. With --receive-batch N it goes one step further: up to N waiting
// requests taken with one recvmmsg, all their lines in one write, all their datagrams in one
// sendmmsg: the receive-batched floor.
//
// Runs until SIGTERM or SIGINT, or at most --seconds (default 600); prints how many
// requests it served.
#include <arpa/inet.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/posix/file_descriptor.h"
#include <vector>

#include "bench/loadgen/load_plan.h"

using namespace lobby;

namespace {

using load_plan::ParseWhole;

volatile std::sig_atomic_t stopRequested = 0;

// SIGTERM and SIGINT: the serving loop ends at its next turn.
void RequestStop(int) { stopRequested = 1; }

struct Options {
    int port = 12001;
    int replyPort = 12000;
    int fanout = 1;
    std::string folder = ".";
    std::string saveFile;
    int seconds = 600;
    bool batched = false;
    int receiveBatch = 0; // 0: one receive a request
};

// Ends the program through main with text as the one line on standard error.
[[noreturn]] void Fail(const std::string& text)
{
    throw std::runtime_error(text);
}

// Hands all of bytes to the system; false when it refused.
bool WriteAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// "HH:MM:SS" of the local time, rendered again only when the second changes.
class TimeText {
public:
    const std::string& Now()
    {
        const std::time_t now = std::time(nullptr);
        if (now == second_)
            return text_;
        second_ = now;
        std::tm parts{};
        ::localtime_r(&now, &parts);
        char buffer[16];
        std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d", parts.tm_hour, parts.tm_min, parts.tm_sec);
        text_ = buffer;
        return text_;
    }

private:
    std::time_t second_ = -1;
    std::string text_;
};

// The whole content of path; raises naming the path when it cannot be read.
std::string ReadWholeFile(const std::string& path)
{
    const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0)
        Fail("cannot read " + path + ": " + std::strerror(errno));
    std::string bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            Fail("cannot read " + path + ": " + std::strerror(errno));
        if (n == 0)
            return bytes;
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
}

// Writes bytes to path + ".tmp", flushes them to disk and renames the copy over path.
void SaveReplacing(const std::string& path, const std::string& bytes)
{
    const std::string temporary = path + ".tmp";
    {
        const FileDescriptor fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (fd.Get() < 0 || !WriteAll(fd.Get(), bytes.data(), bytes.size()) || ::fsync(fd.Get()) != 0)
            Fail("cannot write " + temporary + ": " + std::strerror(errno));
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0)
        Fail("cannot rename " + temporary + ": " + std::strerror(errno));
}

struct Recipient {
    sockaddr_in address;
    std::string dotted;
};

// The receive-batched floor: serves until stopped or out of time; returns the requests served.
long long ServeInBatches(const Options& options, int socketFd, int logFd, const std::vector<Recipient>& recipients)
{
    const std::size_t most = static_cast<std::size_t>(options.receiveBatch);
    constexpr std::size_t kSize = 2048;
    std::vector<char> buffers(most * kSize);
    std::vector<mmsghdr> incoming(most);
    std::vector<iovec> incomingPieces(most);
    std::vector<sockaddr_in> sources(most);
    std::vector<mmsghdr> outgoing(most * recipients.size());
    std::vector<iovec> outgoingPieces(outgoing.size());
    TimeText clock;
    std::string lines;
    char fromText[INET_ADDRSTRLEN] = {};
    long long served = 0;
    const std::time_t deadline = std::time(nullptr) + options.seconds;
    while (!stopRequested && std::time(nullptr) < deadline) {
        for (std::size_t i = 0; i < most; ++i) {
            incomingPieces[i] = iovec{buffers.data() + i * kSize, kSize};
            incoming[i] = mmsghdr{};
            incoming[i].msg_hdr.msg_name = &sources[i];
            incoming[i].msg_hdr.msg_namelen = sizeof sources[i];
            incoming[i].msg_hdr.msg_iov = &incomingPieces[i];
            incoming[i].msg_hdr.msg_iovlen = 1;
        }
        // Waits for the first (at most the wake-up timeout), then takes what else is queued.
        const int taken = ::recvmmsg(socketFd, incoming.data(), static_cast<unsigned>(most), MSG_WAITFORONE, nullptr);
        if (taken <= 0)
            continue;
        lines.clear();
        std::size_t records = 0;
        for (int i = 0; i < taken; ++i) {
            char* datagram = buffers.data() + static_cast<std::size_t>(i) * kSize;
            const std::size_t n = incoming[i].msg_len;
            const std::string_view request(datagram, n);
            ::inet_ntop(AF_INET, &sources[i].sin_addr, fromText, sizeof fromText);
            lines.append(fromText).append(": ").append(clock.Now()).append(" ").append(request).append("\r\n");
            for (const Recipient& recipient : recipients) {
                lines.append("> ").append(clock.Now()).append(" para: ").append(recipient.dotted).append(" ");
                lines.append(request).append("\r\n");
                outgoingPieces[records] = iovec{datagram, n};
                mmsghdr& record = outgoing[records++];
                record = mmsghdr{};
                record.msg_hdr.msg_name = const_cast<sockaddr_in*>(&recipient.address);
                record.msg_hdr.msg_namelen = sizeof recipient.address;
                record.msg_hdr.msg_iov = &outgoingPieces[records - 1];
                record.msg_hdr.msg_iovlen = 1;
            }
        }
        WriteAll(logFd, lines.data(), lines.size());
        for (std::size_t sent = 0; sent < records;) {
            const unsigned slice = static_cast<unsigned>(std::min<std::size_t>(records - sent, 1024));
            const int got = ::sendmmsg(socketFd, outgoing.data() + sent, slice, 0);
            sent += got > 0 ? static_cast<std::size_t>(got) : 1; // a refused one is skipped
        }
        served += taken;
    }
    return served;
}

// Serves until stopped or out of time; returns the requests served.
long long Serve(const Options& options)
{
    const FileDescriptor socketFd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (socketFd.Get() < 0)
        Fail(std::string("socket: ") + std::strerror(errno));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<std::uint16_t>(options.port));
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(socketFd.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
        Fail("cannot bind port " + std::to_string(options.port) + ": " + std::strerror(errno));
    // Wakes now and then with nothing received, so a stop or the deadline is seen.
    timeval wake{0, 100000};
    ::setsockopt(socketFd.Get(), SOL_SOCKET, SO_RCVTIMEO, &wake, sizeof wake);

    const std::string logPath = options.folder + "/raw-traffic.txt";
    const FileDescriptor log(::open(logPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (log.Get() < 0)
        Fail("cannot open " + logPath + ": " + std::strerror(errno));
    const std::string registryBytes = options.saveFile.empty() ? std::string() : ReadWholeFile(options.saveFile);

    std::vector<Recipient> recipients;
    for (int i = 0; i < options.fanout; ++i) {
        Recipient recipient{};
        recipient.dotted = load_plan::ClientAddress(i);
        recipient.address.sin_family = AF_INET;
        recipient.address.sin_port = htons(static_cast<std::uint16_t>(options.replyPort));
        ::inet_pton(AF_INET, recipient.dotted.c_str(), &recipient.address.sin_addr);
        recipients.push_back(recipient);
    }

    if (options.receiveBatch > 0)
        return ServeInBatches(options, socketFd.Get(), log.Get(), recipients);

    // The batched floor's sendmmsg records, one per recipient, filled in per request.
    std::vector<mmsghdr> records(recipients.size());
    std::vector<iovec> pieces(recipients.size());

    TimeText clock;
    std::string line;
    char datagram[2048];
    long long served = 0;
    const std::time_t deadline = std::time(nullptr) + options.seconds;
    while (!stopRequested && std::time(nullptr) < deadline) {
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        const ssize_t n = ::recvfrom(socketFd.Get(), datagram, sizeof datagram, 0,
                                     reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 0)
            continue; // the wake-up timeout, a signal, or a failed receive: nothing to serve
        char fromText[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &from.sin_addr, fromText, sizeof fromText);
        const std::string_view request(datagram, static_cast<std::size_t>(n));

        line.assign(fromText).append(": ").append(clock.Now()).append(" ").append(request).append("\r\n");
        if (options.batched) {
            for (std::size_t r = 0; r < recipients.size(); ++r) {
                line.append("> ").append(clock.Now()).append(" para: ").append(recipients[r].dotted).append(" ");
                line.append(request).append("\r\n");
                pieces[r] = iovec{datagram, static_cast<std::size_t>(n)};
                records[r] = mmsghdr{};
                records[r].msg_hdr.msg_name = const_cast<sockaddr_in*>(&recipients[r].address);
                records[r].msg_hdr.msg_namelen = sizeof recipients[r].address;
                records[r].msg_hdr.msg_iov = &pieces[r];
                records[r].msg_hdr.msg_iovlen = 1;
            }
            WriteAll(log.Get(), line.data(), line.size());
            if (!options.saveFile.empty())
                SaveReplacing(options.saveFile, registryBytes);
            for (std::size_t sent = 0; sent < records.size();) {
                const unsigned slice = static_cast<unsigned>(std::min<std::size_t>(records.size() - sent, 1024));
                const int got = ::sendmmsg(socketFd.Get(), records.data() + sent, slice, 0);
                sent += got > 0 ? static_cast<std::size_t>(got) : 1; // a refused one is skipped
            }
            ++served;
            continue;
        }
        WriteAll(log.Get(), line.data(), line.size());
        if (!options.saveFile.empty())
            SaveReplacing(options.saveFile, registryBytes);
        for (const Recipient& recipient : recipients) {
            line.assign("> ").append(clock.Now()).append(" para: ").append(recipient.dotted).append(" ");
            line.append(request).append("\r\n");
            WriteAll(log.Get(), line.data(), line.size());
            ::sendto(socketFd.Get(), datagram, static_cast<std::size_t>(n), 0,
                     reinterpret_cast<const sockaddr*>(&recipient.address), sizeof recipient.address);
        }
        ++served;
    }
    return served;
}

const char* const kUsage =
    "usage: raw_server [--port P] [--reply-port P] [--fanout K] [--dir DIR] [--save FILE] [--seconds S]\n"
    "                  [--batched] [--receive-batch N]\n"
    "  per request: receive, log it to DIR/raw-traffic.txt, [rewrite FILE through FILE.tmp with fsync],\n"
    "  then for each of the loadgen clients 0..K-1 log a line and send the request back to it;\n"
    "  --batched: every line of the request in one write, every datagram in one sendmmsg;\n"
    "  --receive-batch N: up to N waiting requests with one recvmmsg, all their lines in one write,\n"
    "  all their datagrams in one sendmmsg.\n";

// Reads the command line; raises std::invalid_argument naming what is wrong.
Options ParseOptions(int argc, char** argv)
{
    Options options;
    load_plan::ForEachOption(argc, argv, {{"--batched", &options.batched}}, [&](std::string_view name, std::string_view value) {
        if (name == "--port")
            options.port = static_cast<int>(ParseWhole(name, value, 1, 65535));
        else if (name == "--reply-port")
            options.replyPort = static_cast<int>(ParseWhole(name, value, 1, 65535));
        else if (name == "--fanout")
            options.fanout = static_cast<int>(ParseWhole(name, value, 0, load_plan::kMaxClients));
        else if (name == "--dir")
            options.folder = value;
        else if (name == "--save")
            options.saveFile = value;
        else if (name == "--receive-batch")
            options.receiveBatch = static_cast<int>(ParseWhole(name, value, 1, 1024));
        else if (name == "--seconds")
            options.seconds = static_cast<int>(ParseWhole(name, value, 1, 86400));
        else
            throw std::invalid_argument("unknown option " + std::string(name));
    });
    return options;
}

} // namespace

int main(int argc, char** argv)
{
    return load_plan::RunProgram("raw_server", kUsage, argc, argv, [&] {
        const Options options = ParseOptions(argc, argv);
        struct sigaction action {};
        action.sa_handler = RequestStop; // no SA_RESTART: a signal ends the receive that waits
        ::sigaction(SIGTERM, &action, nullptr);
        ::sigaction(SIGINT, &action, nullptr);
        const long long served = Serve(options);
        std::printf("served=%lld\n", served);
        return 0;
    });
}
