// lobby-client.exe against a stand-in server on 127.0.0.1, on a port the system chose.
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "net/win32/winsock_udp.h"
#include "support/child_process.h"

using namespace lobby::win32;

namespace {

constexpr std::uint32_t kLoopback = 0x0100007F; // 127.0.0.1, network byte order

TEST(LobbyClientExe, SendsTheRequestInTheCodePagePrintsRepliesAndNamesATakenPort)
{
    WinsockSession session;
    int error = 0;
    WinUdpSocket server = WinUdpSocket::Open(error);
    ASSERT_EQ(server.Bind(0, kLoopback), 0);
    const std::wstring port = std::to_wstring(server.BoundPort());

    std::string request;
    std::thread standIn([&] {
        if (::WaitForSingleObject(server.ReadyEvent(), 20000) != WAIT_OBJECT_0)
            return;
        char buffer[512];
        const WinUdpSocket::Received received = server.ReceiveFrom(buffer, sizeof buffer);
        if (received.length < 0)
            return;
        request.assign(buffer, static_cast<std::size_t>(received.length));
        server.SendTo("\xE9|ok", 4, received.fromAddress, received.fromPort);
    });
    const ChildResult answered = RunChild(L"\"" + BesideTest(L"lobby-client.exe") + L"\" --server-port " + port +
                                              L" --port 0 --wait 500 nick pass cmd \u00e9", 30000);
    standIn.join();
    EXPECT_EQ(request, "nick|pass|cmd|\xE9");
    EXPECT_EQ(answered.exitCode, 0u) << answered.err;
    EXPECT_EQ(answered.out, "\u00e9|ok\r\n") << "UTF-8, lines ending as Windows ends text lines";

    const ChildResult taken =
        RunChild(L"\"" + BesideTest(L"lobby-client.exe") + L"\" --port " + port + L" nick pass cmd", 30000);
    EXPECT_EQ(taken.exitCode, 1u);
    EXPECT_NE(taken.err.find("lobby-client: port " + std::string(port.begin(), port.end()) + " is taken"),
              std::string::npos)
        << taken.err;
}

} // namespace
