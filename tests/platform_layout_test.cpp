// The source tree keeps its system code where a port looks for it: Linux's own calls out of
// the posix/ folders, no test of the system outside the system folders, and every file that
// platform/README.md names for an interface there.
#include <algorithm>
#include <arpa/inet.h>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "net/host_lookup.h"
#include "support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

const fs::path kSource = LOBBY_SOURCE_DIR;

// The C++ files under the folders that hold the programs' own code.
std::vector<fs::path> CodeFiles()
{
    std::vector<fs::path> files;
    for (const char* top : {"platform", "net", "client", "server", "app"}) {
        for (const auto& entry : fs::recursive_directory_iterator(kSource / top)) {
            const fs::path& path = entry.path();
            if (entry.is_regular_file() && (path.extension() == ".cpp" || path.extension() == ".h"))
                files.push_back(path);
        }
    }
    return files;
}

bool InFolder(const fs::path& file, const std::string& name)
{
    const fs::path folders = file.lexically_relative(kSource).parent_path();
    return std::find(folders.begin(), folders.end(), fs::path(name)) != folders.end();
}

TEST(PlatformLayout, SystemCodeStaysInItsSystemsFolders)
{
    const std::regex linuxOnly(R"(epoll|eventfd|timerfd|recvmmsg|sendmmsg|accept4|pipe2|ppoll|mremap|)"
                               R"(SOCK_CLOEXEC|SOCK_NONBLOCK|CLOCK_REALTIME_COARSE|SCHED_IDLE|gettid|/proc/)");
    const std::regex systemTest(R"(^\s*#\s*(if|ifdef|ifndef|elif)\b.*(_WIN32|__linux__|_MSC_VER|__unix__|__APPLE__))",
                                std::regex::multiline);
    const std::vector<fs::path> files = CodeFiles();
    ASSERT_GT(files.size(), 50u) << "the source tree was not found at " << kSource;
    for (const fs::path& file : files) {
        const std::string text = ReadBytes(file);
        const bool systemFolder = InFolder(file, "posix") || InFolder(file, "linux") || InFolder(file, "win32");
        if (InFolder(file, "posix")) {
            EXPECT_FALSE(std::regex_search(text, linuxOnly)) << file << " calls what only Linux has";
        }
        if (!systemFolder) {
            EXPECT_FALSE(std::regex_search(text, systemTest)) << file << " tests which system it is built for";
        }
    }
}

TEST(PlatformLayout, EveryFileTheContractNamesExists)
{
    // Table rows name files as `linux/clock.cpp` (under platform/), `net/linux/udp_socket.cpp`
    // or `posix/errno_reason.{h,cpp}`.
    const std::string readme = ReadBytes(kSource / "platform" / "README.md");
    const std::regex named(R"(`((?:net/|client/)?(?:posix|linux|win32)/[a-z_]+)\.(\{h,cpp\}|h|cpp)`)");
    int count = 0;
    for (std::sregex_iterator it(readme.begin(), readme.end(), named), end; it != end; ++it) {
        const std::string stem = (*it)[1];
        const fs::path base = stem.starts_with("net/") || stem.starts_with("client/") ? kSource : kSource / "platform";
        const std::string extension = (*it)[2];
        for (const char* ext : {".h", ".cpp"}) {
            if (extension == "{h,cpp}" || "." + extension == ext) {
                EXPECT_TRUE(fs::exists(base / (stem + ext))) << (*it)[0] << " is named but missing";
            }
        }
        ++count;
    }
    EXPECT_GT(count, 30);
}

TEST(HostNameResolver, ReadsDottedAddressesWithoutAskingAnyone)
{
    // Dotted addresses only: a name would go to the network's name server.
    const auto loopback = lobby::ResolveHostName("127.0.0.1");
    ASSERT_TRUE(loopback.has_value());
    EXPECT_EQ(*loopback, htonl(0x7F000001u));
    EXPECT_EQ(lobby::ResolveHostName("127.1.2.3"), htonl(0x7F010203u));
}

} // namespace
