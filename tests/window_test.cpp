// The built server in window mode on a virtual X display (Xvfb): after a few registrations
// over loopback, the window must carry the caption and show the grid's header row and one
// row per player, in the registry's order. The caption is read from the window's X
// properties; the grid is read from a screenshot by text recognition (tesseract) on an
// enlarged copy, since the grid is painted, not made of X windows. Skipped, with the reason,
// where the X server or the tools are not installed (scripts/setup installs them all).
//
// LOBBY_WINDOW_SCREENSHOT=path keeps the screenshot (docs/window.png is made this way).
#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/child_program.h"
#include "support/client_texts.h"
#include "support/loopback.h"
#include "support/server_program.h"
#include "support/temp_folder.h"

using namespace test_support;

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kCaption[] = "Servidor para jogos Multiplayer - KIVO online";
constexpr auto kToolTimeout = 30s;
constexpr auto kWindowTimeout = 30s;
constexpr int kReplyTimeoutMs = 5000;

// Enlargements tried in turn: the picture is the same each time, so a word misread at one
// size is read again at another rather than at the same size.
constexpr int kScalesPercent[] = {400, 500, 300, 450, 350, 600};

struct Player {
    std::string nick;
    std::string password;
};

// Plain lower-case passwords and names: the test is about what the window shows, and these
// are read back from the picture without doubt.
const std::vector<Player> kPlayers = {{"Alice", "verde"}, {"Bruno", "azul"}, {"Carla", "roxo"}};

// The words of one line, split at white space.
std::vector<std::string> Words(const std::string& line)
{
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

// Whether wanted appears in words in this order (other words may stand between).
bool InOrder(const std::vector<std::string>& words, const std::vector<std::string>& wanted)
{
    auto at = words.begin();
    for (const std::string& word : wanted) {
        at = std::find(at, words.end(), word);
        if (at == words.end())
            return false;
        ++at;
    }
    return true;
}

// The recognised text's lines, as words.
std::vector<std::vector<std::string>> TextLines(const std::string& text)
{
    std::vector<std::vector<std::string>> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(Words(line));
    return lines;
}

// First line (from start) holding wanted in order; -1 when none does.
int LineWith(const std::vector<std::vector<std::string>>& lines, const std::vector<std::string>& wanted, int start = 0)
{
    for (int i = std::max(start, 0); i < static_cast<int>(lines.size()); ++i)
        if (InOrder(lines[i], wanted))
            return i;
    return -1;
}

// The nicks of the registry file's player rows, in file order.
std::vector<std::string> RegistryNicks(const fs::path& file)
{
    std::vector<std::string> nicks;
    std::istringstream in(ReadBytes(file));
    std::string line;
    std::getline(in, line); // the header row
    while (std::getline(in, line)) {
        const std::size_t first = line.find(',');
        const std::size_t second = line.find(',', first + 1);
        if (first != std::string::npos && second != std::string::npos)
            nicks.push_back(line.substr(first + 1, second - first - 1));
    }
    return nicks;
}

// What is wrong with the recognised text: empty when the header row is there and, below it,
// one row per player in the given order, each with the nick, password, address and points
// in their cells (as separate words, which the comma-joined lines of the memo below the grid
// never are).
std::string GridProblem(const std::string& text, const std::vector<std::string>& order,
                        const std::vector<std::string>& points)
{
    const auto lines = TextLines(text);
    const int header = LineWith(lines, {"Nick", "Senha", "Ip", "Pontos"});
    if (header < 0)
        return "no header row Nick Senha Ip Pontos";
    int previous = header;
    for (std::size_t i = 0; i < order.size(); ++i) {
        const auto player = std::find_if(kPlayers.begin(), kPlayers.end(), [&](const Player& p) { return p.nick == order[i]; });
        const int row = LineWith(lines, {player->nick, player->password, "127.0.0.1", points[i]});
        if (row < 0)
            return "no row for " + player->nick;
        if (row <= previous)
            return "row of " + player->nick + " is not below the row before it";
        previous = row;
    }
    return {};
}

// An X server of its own, on the first free display number, ended with the test.
class VirtualDisplay {
public:
    VirtualDisplay() : xvfb_({"Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"})
    {
        // -displayfd: the server writes its display number once it accepts clients.
        if (xvfb_.WaitForOutput([](const std::string& out) { return out.find('\n') != std::string::npos; }, 20s))
            name_ = ":" + xvfb_.Out().substr(0, xvfb_.Out().find('\n'));
    }
    ~VirtualDisplay()
    {
        // Ended gently, so that it removes its lock file and socket for the next one.
        xvfb_.Signal(SIGTERM);
        xvfb_.WaitForExit(5s);
    }
    VirtualDisplay(const VirtualDisplay&) = delete;
    VirtualDisplay& operator=(const VirtualDisplay&) = delete;

    // ":N", or empty when the server did not start.
    const std::string& Name() const { return name_; }
    std::string Errors() const { return xvfb_.Err(); }

private:
    ChildProgram xvfb_;
    std::string name_;
};

class WindowTest : public testing::Test {
protected:
    void SetUp() override
    {
        const std::vector<std::pair<const char*, const char*>> tools = {
            {"Xvfb", "xvfb"}, {"xwininfo", "x11-utils"}, {"xprop", "x11-utils"},
            {"import", "imagemagick"}, {"tesseract", "tesseract-ocr"}};
        for (const auto& [tool, package] : tools)
            if (!ProgramInPath(tool))
                GTEST_SKIP() << tool << " is not installed (Debian package " << package << "; scripts/setup installs it)";
    }

    // Runs an X tool on the test's display; fails the test when it cannot be run.
    ProgramResult Tool(std::vector<std::string> arguments, const std::string& display) const
    {
        arguments.insert(arguments.begin() + 1, {"-display", display});
        return RunProgram(arguments, kToolTimeout);
    }

    // The id of the shown window carrying the caption, waiting for it; empty when none came.
    std::string ShownWindow(const std::string& display, ChildProgram& server) const
    {
        const auto deadline = Clock::now() + kWindowTimeout;
        for (int attempt = 0; attempt < 300 && Clock::now() < deadline; ++attempt) {
            if (server.WaitForExit(0ms))
                return {};
            const ProgramResult found = Tool({"xwininfo", "-name", kCaption}, display);
            const std::string marker = "Window id: ";
            const std::size_t at = found.out.find(marker);
            if (found.status == 0 && at != std::string::npos && found.out.find("IsViewable") != std::string::npos)
                return found.out.substr(at + marker.size(), found.out.find(' ', at + marker.size()) - at - marker.size());
            std::this_thread::sleep_for(100ms);
        }
        return {};
    }

    // For a sanitizer build of the server: the D-Bus library that Qt's X11 platform loads
    // keeps a buffer until exit, which the leak check would otherwise turn into exit status 1.
    // Leaks of the server's own code are still reported. No effect on a plain build.
    std::string LeakCheckOptions() const
    {
        const fs::path suppressions = folder / "leaks.supp";
        std::ofstream(suppressions) << "leak:libdbus-1.so\n";
        const char* given = std::getenv("LSAN_OPTIONS");
        const std::string before = given && *given ? std::string(given) + ":" : std::string();
        return before + "suppressions=" + suppressions.string();
    }

    // Tesseract's words with where they stand (its TSV output), read off a picture taken
    // of the window at its own size, enlarged by scalePercent for the reading.
    struct PlacedWord {
        std::string text;
        int top; // in the window's own pixels
    };
    std::vector<PlacedWord> PlacedWords(const std::string& window, const std::string& display, int scalePercent) const
    {
        const fs::path picture = folder / "placed.png";
        const ProgramResult shot = Tool({"import", "-window", window, "-resize", std::to_string(scalePercent) + "%",
                                         "png:" + picture.string()}, display);
        if (shot.status != 0)
            return {};
        const ProgramResult read = RunProgram({"tesseract", picture.string(), "stdout", "--psm", "11", "tsv"}, kToolTimeout);
        std::vector<PlacedWord> words;
        std::istringstream in(read.out);
        for (std::string line; std::getline(in, line);) {
            std::vector<std::string> cells;
            std::istringstream cellsIn(line);
            for (std::string cell; std::getline(cellsIn, cell, '\t');)
                cells.push_back(cell);
            if (cells.size() == 12 && !cells[11].empty() && std::isdigit(static_cast<unsigned char>(cells[7][0])))
                words.push_back({cells[11], std::stoi(cells[7]) * 100 / scalePercent});
        }
        return words;
    }

    // The window program on display, serving folder on serverPort and answering to replyPort.
    ChildProgram StartWindowServer(const VirtualDisplay& display, std::uint16_t serverPort, std::uint16_t replyPort)
    {
        const fs::path runtime = folder / "runtime";
        fs::create_directory(runtime);
        ::chmod(runtime.c_str(), 0700);
        return ChildProgram({WindowProgramPath(), "m5qt4", "--dir", folder.Path().string(), "--listen-port",
                             std::to_string(serverPort), "--reply-port", std::to_string(replyPort)},
                            {.environment = {{"DISPLAY", display.Name()},
                                             {"QT_QPA_PLATFORM", "xcb"},
                                             {"WAYLAND_DISPLAY", std::nullopt},
                                             {"LC_ALL", "C"},
                                             {"XDG_RUNTIME_DIR", runtime.string()},
                                             {"LSAN_OPTIONS", LeakCheckOptions()}}});
    }

    TempFolder folder;
};

TEST_F(WindowTest, ShowsCaptionHeaderRowAndPlayers)
{
    VirtualDisplay display;
    ASSERT_FALSE(display.Name().empty()) << "Xvfb did not start: " << display.Errors();

    LoopbackPeer client;
    const std::uint16_t serverPort = FreeLoopbackPort();
    ChildProgram server = StartWindowServer(display, serverPort, client.Port());

    const std::string window = ShownWindow(display.Name(), server);
    ASSERT_FALSE(window.empty()) << "no window captioned \"" << kCaption << "\" was shown; server said: " << server.Err();

    // The caption as the window manager and the task bar read it, in both properties.
    const ProgramResult caption = Tool({"xprop", "-id", window, "_NET_WM_NAME", "WM_NAME"}, display.Name());
    EXPECT_THAT(caption.out, testing::HasSubstr(std::string("_NET_WM_NAME(UTF8_STRING) = \"") + kCaption + "\""));
    EXPECT_THAT(caption.out, testing::HasSubstr(std::string("WM_NAME(STRING) = \"") + kCaption + "\""));

    // Registrations, each answered before the next, then points for one player, so that the
    // grid has rows in a different order from the registrations.
    for (const Player& player : kPlayers) {
        client.SendTo(serverPort, player.nick + "|" + player.password + "|slc|");
        std::optional<PeerDatagram> reply;
        for (int i = 0; i < 20 && !(reply && reply->bytes == kWelcome); ++i)
            reply = client.Receive(kReplyTimeoutMs);
        ASSERT_TRUE(reply && reply->bytes == kWelcome) << "no welcome for " << player.nick;
    }
    client.SendTo(serverPort, "Bruno|azul|scj|25");
    std::optional<PeerDatagram> ranking;
    for (int i = 0; i < 20 && !(ranking && ranking->bytes.starts_with("ttn|Bruno - 25|")); ++i)
        ranking = client.Receive(kReplyTimeoutMs);
    ASSERT_TRUE(ranking && ranking->bytes.starts_with("ttn|Bruno - 25|")) << "no ranking after the points";

    // The registry was saved after the points: its order is the one the grid must show.
    const std::vector<std::string> order = RegistryNicks(folder / "cadastro.txt");
    ASSERT_EQ(order.size(), kPlayers.size());
    std::vector<std::string> points;
    for (const std::string& nick : order)
        points.push_back(nick == "Bruno" ? "25" : "0");

    // Painting follows the requests on the server's own loop; a picture taken too early is
    // taken again.
    const fs::path screenshot = folder / "window.png";
    const fs::path enlarged = folder / "enlarged.png";
    std::string text;
    std::string problem = "no picture taken";
    for (const int scale : kScalesPercent) {
        const ProgramResult shot = Tool({"import", "-window", window, "png:" + screenshot.string()}, display.Name());
        ASSERT_EQ(shot.status, 0) << "screenshot failed: " << shot.err;
        const ProgramResult big = Tool({"import", "-window", window, "-resize", std::to_string(scale) + "%",
                                        "png:" + enlarged.string()}, display.Name());
        ASSERT_EQ(big.status, 0) << "screenshot failed: " << big.err;
        const ProgramResult read = RunProgram({"tesseract", enlarged.string(), "stdout", "--psm", "6"}, kToolTimeout);
        ASSERT_EQ(read.status, 0) << "tesseract failed: " << read.err;
        text = read.out;
        problem = GridProblem(text, order, points);
        if (problem.empty())
            break;
        std::this_thread::sleep_for(300ms);
    }
    EXPECT_EQ(problem, "") << "the window's text as read:\n" << text;

    if (const char* keep = std::getenv("LOBBY_WINDOW_SCREENSHOT"); keep && *keep)
        fs::copy_file(screenshot, keep, fs::copy_options::overwrite_existing);

    // SIGTERM ends window mode as it ends headless mode: the registry is saved, status 0.
    server.Signal(SIGTERM);
    EXPECT_EQ(server.WaitForExit(15s), 0) << server.Err();
}

// Resizes an X window as a window manager does at the operator's drag (Xvfb runs none).
constexpr char kResizeScript[] = R"(import ctypes, sys
x = ctypes.CDLL("libX11.so.6")
x.XOpenDisplay.restype = ctypes.c_void_p
d = ctypes.c_void_p(x.XOpenDisplay(sys.argv[1].encode()))
if not d.value: sys.exit("cannot open the display")
x.XResizeWindow(d, ctypes.c_ulong(int(sys.argv[2], 0)), int(sys.argv[3]), int(sys.argv[4]))
x.XSync(d, 0)
x.XCloseDisplay(d))";

constexpr int kMemoHeight = 60;

// The window opens at the size the operators know, with a status line under the grid telling
// the players online and registered and the last save; the operator may make it larger, and
// the grid takes the room while the status line and the memo stay at the bottom.
TEST_F(WindowTest, OpensAtItsSizeResizesAndShowsTheStatusLine)
{
    if (!ProgramInPath("python3"))
        GTEST_SKIP() << "python3 is not installed (it resizes the window)";
    VirtualDisplay display;
    ASSERT_FALSE(display.Name().empty()) << "Xvfb did not start: " << display.Errors();

    WriteBytes(folder / "cadastro.txt", ",Nick,Senha,Ip,Pontos,,\r\n,Alice,verde,127.0.0.1,16,,\r\n,Bruno,azul,127.0.0.1,7,,\r\n");
    LoopbackPeer client;
    const std::uint16_t serverPort = FreeLoopbackPort();
    ChildProgram server = StartWindowServer(display, serverPort, client.Port());
    const std::string window = ShownWindow(display.Name(), server);
    ASSERT_FALSE(window.empty()) << "no window was shown; server said: " << server.Err();
    EXPECT_THAT(Tool({"xwininfo", "-id", window}, display.Name()).out,
                testing::AllOf(testing::HasSubstr("Width: 519\n"), testing::HasSubstr("Height: 204\n")));

    // A login and a score: one player online, a save that worked.
    client.SendTo(serverPort, "Alice|verde|slc|");
    client.SendTo(serverPort, "Alice|verde|scj|5");
    std::optional<PeerDatagram> reply;
    for (int i = 0; i < 20 && !(reply && reply->bytes.starts_with("ttn|Alice - 21|")); ++i)
        reply = client.Receive(kReplyTimeoutMs);
    ASSERT_TRUE(reply && reply->bytes.starts_with("ttn|Alice - 21|")) << "no ranking after the points";

    // The status line's words, and where it stands, at each size: read again until the window
    // shows what the lobby did (it is read from the form every second) or the time is up.
    const auto statusBelowGrid = [&](int height, std::string& seen) {
        const auto deadline = Clock::now() + kWindowTimeout;
        for (int attempt = 0; Clock::now() < deadline; ++attempt) {
            const std::vector<PlacedWord> words = PlacedWords(window, display.Name(), kScalesPercent[attempt % 6]);
            seen.clear();
            int top = -1;
            bool online = false, saved = false;
            for (const PlacedWord& word : words) {
                seen += word.text + "@" + std::to_string(word.top) + " ";
                if (word.text.starts_with("registered"))
                    top = word.top;
                online = online || word.text.starts_with("online");
                saved = saved || word.text == "ok";
            }
            // Just above the memo, which keeps its height at the bottom.
            if (online && saved && top > height - kMemoHeight - 30 && top < height - kMemoHeight)
                return true;
            std::this_thread::sleep_for(300ms);
        }
        return false;
    };
    std::string seen;
    EXPECT_TRUE(statusBelowGrid(204, seen)) << "no status line above the memo; read: " << seen;

    const ProgramResult resized = RunProgram({"python3", "-c", kResizeScript, display.Name(), window, "700", "500"}, kToolTimeout);
    ASSERT_EQ(resized.status, 0) << resized.err;
    EXPECT_TRUE(statusBelowGrid(500, seen)) << "the status line did not follow the window down; read: " << seen;

    server.Signal(SIGTERM);
    EXPECT_EQ(server.WaitForExit(kWindowTimeout), 0) << server.Err();
}

} // namespace
