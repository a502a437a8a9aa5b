// Where the lobby keeps its files and its console must be its own user's and root's alone:
// the lobby refuses to start elsewhere, and lobbyctl refuses to talk to whoever else listens.
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/child_program.h"
#include "support/server_program.h"
#include "support/temp_folder.h"

namespace {

using namespace test_support;
using testing::HasSubstr;

constexpr uid_t kRoot = 0;
constexpr uid_t kOther = 65534; // nobody: no system account of a service, no lobby's user

// A program of another user listening on a socket at path: bound as bindAs (who then owns
// the file) and listening as listenAs (whom the peer's credentials name). It answers nobody
// and ends when the test does.
class ForeignListener {
public:
    ForeignListener(const std::string& path, uid_t bindAs, uid_t listenAs)
    {
        int ready[2];
        int hold[2];
        if (::pipe2(ready, O_CLOEXEC) != 0 || ::pipe2(hold, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        pid_ = ::fork();
        if (pid_ == 0) {
            // System calls only, until the test's end closes hold.
            ::close(ready[0]);
            ::close(hold[1]);
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            if ((bindAs != kRoot && ::setuid(bindAs) != 0) ||
                ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
                (listenAs != bindAs && ::setuid(listenAs) != 0) || ::listen(fd, 4) != 0)
                ::_exit(1);
            char byte = 1;
            if (::write(ready[1], &byte, 1) != 1 || ::read(hold[0], &byte, 1) < 0)
                ::_exit(1);
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(hold[0]);
        hold_ = hold[1];
        char byte = 0;
        ready_ = ::read(ready[0], &byte, 1) == 1; // end of file when the child failed
        ::close(ready[0]);
    }
    ~ForeignListener()
    {
        ::close(hold_);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    bool Ready() const { return ready_; }

private:
    pid_t pid_ = -1;
    int hold_ = -1;
    bool ready_ = false;
};

TEST(OwnerChecks, AFolderOrSocketAnotherUserHoldsIsRefused)
{
    ASSERT_EQ(::geteuid(), kRoot) << "the checks need users other than the test's own";
    enum class Run { Server, ServerControl, Ctl };
    struct Case {
        const char* what;
        Run run;
        uid_t parentOwner; // of the folder above the one under test
        uid_t folderOwner;
        mode_t folderMode;
        uid_t bindAs, listenAs; // the listener, for lobbyctl
        int status;
        std::string message;
    };
    const Case cases[] = {
        {"data folder of another user", Run::Server, kRoot, kOther, 0700, 0, 0, 1, "/folder is owned by"},
        {"data folder all may write", Run::Server, kRoot, kRoot, 0777, 0, 0, 1, "can be written by other users (mode 0777)"},
        {"sticky data folder", Run::Server, kRoot, kRoot, 01777, 0, 0, 1, "(mode 1777)"},
        {"data folder in another's", Run::Server, kOther, kRoot, 0700, 0, 0, 1, "/parent is owned by"},
        {"socket in a folder all may write", Run::ServerControl, kRoot, kRoot, 0777, 0, 0, 1,
         "the control socket"},
        {"socket of another user", Run::Ctl, kRoot, kOther, 0700, kOther, kOther, 4, "lobby.sock is owned by"},
        {"listener of another user", Run::Ctl, kRoot, kRoot, 0755, kRoot, kOther, 4, "the program listening there runs as"},
        {"root's socket others could replace", Run::Ctl, kRoot, kRoot, 0777, kRoot, kRoot, 4,
         "can be written by other users (mode 0777)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempFolder top;
        ::chmod(top.Path().c_str(), 0711); // the other user passes through, no more
        const fs::path parent = top / "parent";
        const fs::path folder = parent / "folder";
        fs::create_directories(folder);
        ASSERT_EQ(::chown(parent.c_str(), c.parentOwner, c.parentOwner), 0);
        ASSERT_EQ(::chown(folder.c_str(), c.folderOwner, c.folderOwner), 0);
        ASSERT_EQ(::chmod(folder.c_str(), c.folderMode), 0);
        const std::string socket = (folder / "lobby.sock").string();
        ProgramResult result;
        if (c.run == Run::Ctl) {
            ForeignListener listener(socket, c.bindAs, c.listenAs);
            ASSERT_TRUE(listener.Ready());
            result = RunProgram({LOBBYCTL_PATH, "--socket", socket, "--timeout", "5", "password", "ana", "secret"}, 20s);
        } else {
            const std::string data = c.run == Run::Server ? folder.string() : (top / "data").string();
            std::vector<std::string> words{ServerProgramPath(), "m5qt4", "--quiet", "--listen-port", "0", "--dir", data};
            if (c.run == Run::ServerControl)
                words.insert(words.end(), {"--control", socket});
            result = RunProgram(words, 20s);
            EXPECT_FALSE(fs::exists(fs::path(data) / "cadastro.txt")) << "refused before any file is touched";
        }
        EXPECT_EQ(result.status, c.status) << result.err;
        EXPECT_THAT(result.err, HasSubstr(c.message));
    }
}

} // namespace
