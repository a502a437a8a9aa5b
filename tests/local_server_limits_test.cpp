// The console's socket under clients that cost more than they should: the limits the lobby
// sets them, on this system's socket.
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>

#include <gtest/gtest.h>

#include "platform/linux/epoll_event_loop.h"
#include "platform/posix/file_descriptor.h"
#include "support/local_server_limits.h"
#include "support/stream_client.h"
#include "support/temp_folder.h"

namespace {

using namespace lobby;
using namespace test_support;

// A non-blocking client end of a Unix-domain socket: a full backlog refuses its connect
// (EAGAIN) rather than holding up the loop's thread.
class SocketClientEnd : public LocalClientEnd {
public:
    explicit SocketClientEnd(const std::string& path)
    {
        address_.sun_family = AF_UNIX;
        path.copy(address_.sun_path, sizeof address_.sun_path - 1);
    }
    bool Connect() override
    {
        if (connected_)
            return true;
        const int result = ::connect(fd_.Get(), reinterpret_cast<const sockaddr*>(&address_), sizeof address_);
        connected_ = result == 0 || errno == EISCONN;
        EXPECT_TRUE(connected_ || errno == EAGAIN) << std::strerror(errno);
        return connected_;
    }
    void Send(std::string_view bytes) override
    {
        const ssize_t sent = ::send(fd_.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        // The requests here fit a socket's buffer; a client already closed may take none.
        EXPECT_TRUE(sent == static_cast<ssize_t>(bytes.size()) || (sent < 0 && errno == EPIPE)) << sent;
    }
    bool Closed() override { return test_support::TakeUntilClosed(fd_.Get(), received); }

private:
    FileDescriptor fd_{::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)};
    sockaddr_un address_{};
    bool connected_ = false;
};

struct LocalServerLimits : testing::Test {
    TempFolder folder;
    EpollEventLoop loop;
    const std::string path = (folder.Path() / "c.sock").string();
    const LocalClientMaker make = [](const std::string& at) { return std::make_unique<SocketClientEnd>(at); };
};

TEST_F(LocalServerLimits, BusyTooLongIdleSlowAndNotReadingClientsAreRefusedOrClosedAndCounted)
{
    CheckLocalServerLimits(loop, path, make);
}

TEST_F(LocalServerLimits, ConnectionsAreTakenNoFasterThanTheAllowanceAndAllAreServed)
{
    CheckLocalServerRate(loop, path, make);
}

} // namespace
