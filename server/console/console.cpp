#include "server/console/console.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <optional>

#include "platform/cp1252.h"
#include "platform/file_bytes.h"
#include "server/console/console_protocol.h"
#include "server/lobby/console_operations.h"
#include "server/lobby/score_mending.h"

namespace lobby {

namespace {

// One JSON object, built member by member.
class JsonObject {
public:
    // A text member: utf8 as it is, escaped as JSON wants.
    JsonObject& Text(std::string_view key, std::string_view utf8) { return Raw(key, Quoted(utf8)); }
    // A text member from the lobby's 8-bit text: each byte is its code page character.
    JsonObject& CodePage(std::string_view key, std::string_view bytes) { return Raw(key, QuotedCodePage(bytes)); }
    JsonObject& Number(std::string_view key, std::uint64_t value) { return Raw(key, std::to_string(value)); }
    JsonObject& Number(std::string_view key, std::int64_t value) { return Raw(key, std::to_string(value)); }
    JsonObject& Number(std::string_view key, double value) { return Raw(key, Decimal(value, 3)); }
    JsonObject& Bool(std::string_view key, bool value) { return Raw(key, value ? "true" : "false"); }
    // A member whose value is JSON already (an object, an array, null).
    JsonObject& Raw(std::string_view key, std::string_view json)
    {
        body_ += body_.empty() ? "{" : ",";
        body_ += Quoted(key);
        body_ += ':';
        body_ += json;
        return *this;
    }
    std::string Done() const { return body_.empty() ? "{}" : body_ + "}"; }

    static std::string Quoted(std::string_view utf8) { return console_protocol::JsonText(utf8); }
    // The five bytes the code page leaves undefined stand for the control characters of
    // their number, so no byte is lost.
    static std::string QuotedCodePage(std::string_view bytes)
    {
        std::string utf8;
        for (const char c : bytes) {
            const auto byte = static_cast<unsigned char>(c);
            const char16_t character = Cp1252ToUnicode(byte);
            AppendUtf8(utf8, character != 0 ? character : byte);
        }
        return Quoted(utf8);
    }
    static std::string Decimal(double value, int places)
    {
        char text[64];
        std::snprintf(text, sizeof text, "%.*f", places, value);
        return text;
    }

private:
    std::string body_;
};

std::string JsonArray(const std::vector<std::string>& items)
{
    std::string out = "[";
    for (const std::string& item : items)
        out += (out.size() > 1 ? "," : "") + item;
    return out + "]";
}

ConsoleReply Done(std::string text, JsonObject json = {})
{
    json.Text("message", text.substr(0, text.find('\n')));
    return ConsoleReply{true, std::move(text), json.Done()};
}

ConsoleReply Refused(const std::string& why)
{
    return ConsoleReply{false, why + "\n", JsonObject().Text("error", why).Done()};
}

// "3 d 4 h 12 min", "5 min 3 s", "42 s".
std::string Duration(std::int64_t seconds)
{
    const std::int64_t days = seconds / 86400, hours = seconds / 3600 % 24, minutes = seconds / 60 % 60;
    if (days > 0)
        return std::to_string(days) + " d " + std::to_string(hours) + " h " + std::to_string(minutes) + " min";
    if (hours > 0)
        return std::to_string(hours) + " h " + std::to_string(minutes) + " min";
    if (minutes > 0)
        return std::to_string(minutes) + " min " + std::to_string(seconds % 60) + " s";
    return std::to_string(seconds) + " s";
}

std::string DateTimeText(const LocalDateTime& at)
{
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", at.year, at.month, at.day, at.hour, at.minute,
                  at.second);
    return text;
}

// "1 player", "3 players".
std::string Counted(std::uint64_t count, const char* one, const char* many)
{
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// The word in the lobby's code page, or a refusal saying why it cannot be.
std::optional<std::string> CodePage(const std::string& word, std::string_view what, ConsoleReply& refusal)
{
    Cp1252Conversion converted = Cp1252FromUtf8(word, what);
    if (converted.problem.empty())
        return std::move(converted.text);
    refusal = Refused(converted.problem);
    return std::nullopt;
}

// The characters of UTF-8 text.
std::size_t Characters(std::string_view text)
{
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// Columns of UTF-8 texts, each padded to its widest and two blanks apart, with no blanks at
// the end of a line.
std::string Columns(const std::vector<std::vector<std::string>>& lines)
{
    std::vector<std::size_t> widths;
    for (const auto& line : lines) {
        widths.resize(std::max(widths.size(), line.size()));
        for (std::size_t i = 0; i < line.size(); ++i)
            widths[i] = std::max(widths[i], Characters(line[i]));
    }
    std::string text;
    for (const auto& line : lines) {
        std::string out;
        for (std::size_t i = 0; i < line.size(); ++i) {
            out += line[i];
            if (i + 1 < line.size())
                out += std::string(widths[i] - Characters(line[i]) + 2, ' ');
        }
        out.erase(out.find_last_not_of(' ') + 1);
        text += out + "\n";
    }
    return text;
}

// What every figure of status and metrics is read from, gathered once per request.
struct Figures {
    std::int64_t uptimeSeconds = 0;
    std::size_t online = 0;
    std::int64_t registered = 0;
    std::uint64_t received = 0;
    std::uint64_t sent = 0;
    std::uint64_t overRate = 0;
    std::uint64_t overRegistrations = 0;
    std::uint64_t overOutputShare = 0;
    std::uint64_t nickWaitedOut = 0;
    std::uint64_t banned = 0;
    std::uint64_t failedReceives = 0;
    std::uint64_t copies = 0;
    std::uint64_t overSilentBudget = 0;
    std::optional<double> receivedPerSecond;
    std::optional<double> sentPerSecond;
    std::string logPath;
    std::optional<std::uint64_t> logBytes;
    std::size_t bans = 0;
    LocalServerCounters clients;
};

// remove's word for the rows with an empty nick, which no other word can name.
constexpr std::string_view kEmptyNickWord = "--empty-nick";
// At most this many rows that stop the rankings are listed one by one.
constexpr std::size_t kBadScoresListed = 10;

// Whether the rankings are stopped, and by which rows: the lines for status and the JSON.
struct BadScores {
    std::string text;
    std::string json;
};

BadScores BadScoresOf(const ConsoleOperations& lobby)
{
    const std::optional<RankingStops> stops = lobby.StoppedRankings(kBadScoresListed);
    if (!stops)
        return {"rankings: running\n", JsonObject().Bool("stopped", false).Done()};
    std::string text = "rankings: STOPPED, " + std::to_string(stops->count) + (stops->count == 1 ? " row has" : " rows have") +
                       " a score that is not a number (score reports are saved but no ranking is sent):\n";
    std::vector<std::string> listed;
    for (const RankingStops::Row& stop : stops->first) {
        // Row N is line N + 1 of the file as the lobby saves it, under the header.
        text += "  line " + std::to_string(stop.row + 1) + ": " +
                BadScoreText(stop.row, ReadableText(stop.nick), ReadableText(stop.score)) + "\n";
        listed.push_back(JsonObject()
                             .Number("row", static_cast<std::int64_t>(stop.row))
                             .Number("line", static_cast<std::int64_t>(stop.row) + 1)
                             .CodePage("nick", stop.nick)
                             .CodePage("score", stop.score)
                             .Done());
    }
    if (stops->count > listed.size())
        text += "  and " + std::to_string(stops->count - listed.size()) + " more\n";
    return {text, JsonObject()
                      .Bool("stopped", true)
                      .Number("bad_score_rows", static_cast<std::uint64_t>(stops->count))
                      .Raw("stopped_by", JsonArray(listed))
                      .Done()};
}

} // namespace

Console::Console(ConsoleOperations& lobby, const MonotonicClock& clock, EventLoop* loop, ConsoleSetup setup)
    : operations_(lobby), clock_(clock), setup_(std::move(setup)), startedMs_(clock.NowMs())
{
    Sample();
    if (loop)
        sampleTimer_ = loop->StartTimer(kSampleMs, [this] { Sample(); });
}

void Console::Sample()
{
    const auto& counters = operations_.Counters();
    samples_.push_back({clock_.NowMs(), counters.received, counters.sent});
    while (samples_.size() > kSamples)
        samples_.pop_front();
}

void Console::Handle(std::string_view line, Answer answer)
{
    Words words = console_protocol::RequestWords(line);
    const bool json = !words.empty() && words.front() == console_protocol::kJsonWord;
    if (json)
        words.erase(words.begin());
    // Errors a command raises are its refusal; the answer goes once, whichever way it ends.
    auto answered = std::make_shared<bool>(false);
    const Reply reply = [answer = std::move(answer), json, answered](ConsoleReply result) {
        if (std::exchange(*answered, true))
            return;
        answer(console_protocol::AnswerText(result.ok, json ? result.json + "\n" : result.text));
    };
    try {
        Run(words, reply);
    } catch (const std::exception& error) {
        reply(Refused(error.what()));
    }
}

void Console::Run(const Words& words, const Reply& reply)
{
    // told: a command that changes the lobby is told to the operator's record with this many
    // of its words after its name (never a password), and how it ended; kNotTold for the others.
    constexpr std::size_t kNotTold = static_cast<std::size_t>(-1);
    struct Command {
        std::string_view name;
        std::size_t least;
        std::size_t most;
        std::function<void(const Reply&)> run;
        std::size_t told = kNotTold;
    };
    const Command commands[] = {
        {"status", 0, 0, [&](const Reply& r) { r(Status()); }},
        {"who", 0, 0, [&](const Reply& r) { r(Who()); }},
        {"top", 0, 1, [&](const Reply& r) { r(Top(words)); }},
        {"notice", 1, 1, [&](const Reply& r) { r(Notice(words)); }, 1},
        {"kick", 1, 1, [&](const Reply& r) { r(Kick(words)); }, 1},
        {"password", 2, 2, [&](const Reply& r) { ChangePassword(words, r); }, 1},
        {"remove", 1, 1, [&](const Reply& r) { Remove(words, r); }, 1},
        {"score", 2, 2, [&](const Reply& r) { Score(words, r); }, 2},
        {"ban", 1, 2, [&](const Reply& r) { r(Ban(words, true)); }, 2},
        {"unban", 1, 2, [&](const Reply& r) { r(Ban(words, false)); }, 2},
        {"bans", 0, 0, [&](const Reply& r) { r(Bans()); }},
        {"save", 0, 0, [&](const Reply& r) { Save(r); }},
        // A reload tells the operator itself, whoever asked for it.
        {"reload", 0, 0, [&](const Reply& r) { r(setup_.reload ? setup_.reload() : Refused("this lobby has no configuration to read")); }},
        {"metrics", 0, 0, [&](const Reply& r) { r(Metrics()); }},
    };
    if (words.empty()) {
        reply(Refused("no command (lobbyctl --help lists them)"));
        return;
    }
    for (const Command& command : commands) {
        if (command.name != words.front())
            continue;
        const std::size_t count = words.size() - 1;
        if (count < command.least || count > command.most) {
            const std::string takes = command.least == command.most
                                          ? std::to_string(command.least)
                                          : std::to_string(command.least) + " or " + std::to_string(command.most);
            reply(Refused(std::string(command.name) + " takes " + takes + (command.most == 1 ? " argument" : " arguments") +
                          ", not " + std::to_string(count)));
            return;
        }
        // A refusal raised on the way is told as one too.
        const Reply answer = command.told == kNotTold ? reply : Told(words, command.told, reply);
        try {
            command.run(answer);
        } catch (const std::exception& error) {
            answer(Refused(error.what()));
        }
        return;
    }
    reply(Refused("unknown command \"" + words.front() + "\" (lobbyctl --help lists them)"));
}

namespace {

// A word of the console as it stands in a line of the record: one line, nothing a terminal
// would act on.
std::string Printable(std::string_view word)
{
    std::string shown;
    for (const char c : word)
        shown += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
    return shown;
}

} // namespace

Console::Reply Console::Told(const Words& words, std::size_t shownWords, const Reply& reply) const
{
    if (!tell_)
        return reply;
    std::string what = "console: " + words.front();
    for (std::size_t i = 1; i <= shownWords && i < words.size(); ++i)
        what += words[i].find(' ') == std::string::npos ? " " + Printable(words[i]) : " \"" + Printable(words[i]) + "\"";
    return [tell = tell_, what, reply](ConsoleReply result) {
        const std::string first = result.text.substr(0, result.text.find('\n'));
        tell(what + (result.ok ? ": " : ": refused: ") + Printable(first));
        reply(std::move(result));
    };
}

namespace {

// The figures now; oldest is the oldest traffic sample kept (its ms, received and sent), which
// the rates are taken over.
template <class Sample>
Figures Gather(const ConsoleOperations& lobby, std::int64_t nowMs, std::int64_t startedMs, const Sample& oldest,
               const ConsoleSetup& setup)
{
    Figures figures;
    const LobbyFigures seen = lobby.Figures();
    const TrafficCounters& counters = seen.counters;
    figures.uptimeSeconds = (nowMs - startedMs) / 1000;
    figures.online = seen.online;
    figures.registered = seen.registered;
    figures.received = counters.received;
    figures.sent = counters.sent;
    const auto& held = seen.held;
    figures.overRate = held.requests;
    figures.overRegistrations = held.registrations;
    figures.overOutputShare = held.share;
    figures.nickWaitedOut = held.waited;
    figures.copies = held.copies;
    figures.overSilentBudget = held.silent;
    figures.banned = counters.banned;
    // What was dropped for no limit nor ban: receives that failed.
    const std::uint64_t accounted = seen.guardDropped + counters.banned;
    figures.failedReceives = counters.dropped > accounted ? counters.dropped - accounted : 0;
    if (nowMs - oldest.ms >= 1000) {
        const double seconds = static_cast<double>(nowMs - oldest.ms) / 1000.0;
        figures.receivedPerSecond = static_cast<double>(counters.received - oldest.received) / seconds;
        figures.sentPerSecond = static_cast<double>(counters.sent - oldest.sent) / seconds;
    }
    figures.logPath = seen.logPath;
    figures.logBytes = FileSize(figures.logPath);
    figures.bans = seen.bans;
    if (setup.clients)
        figures.clients = setup.clients();
    return figures;
}

std::string Rate(const std::optional<double>& rate)
{
    return rate ? JsonObject::Decimal(*rate, 1) : "(not yet known)";
}

std::string Megabytes(std::uint64_t bytes)
{
    return JsonObject::Decimal(static_cast<double>(bytes) / (1024.0 * 1024.0), 1) + " MB";
}

} // namespace

ConsoleReply Console::Status() const
{
    const Figures f = Gather(operations_, clock_.NowMs(), startedMs_, samples_.front(), setup_);
    const SaveRecord& save = operations_.LastSave();

    std::string text = setup_.program + " " + setup_.version + ", up " + Duration(f.uptimeSeconds) + "\n";
    text += "players: " + std::to_string(f.online) + " online, " + std::to_string(f.registered) + " registered\n";
    text += "traffic: " + Rate(f.receivedPerSecond) + " requests a second in, " + Rate(f.sentPerSecond) +
            " datagrams a second out (the last minute); " + std::to_string(f.received) + " in and " +
            std::to_string(f.sent) + " out since start-up\n";
    text += "dropped: " + std::to_string(f.overRate) + " over the rate limit, " + std::to_string(f.overRegistrations) +
            " over the registration limit, " + std::to_string(f.overOutputShare) +
            " over their share of the lobby's output, " + std::to_string(f.nickWaitedOut) +
            " new nicks not served in their wait, " + std::to_string(f.banned) + " banned, " + std::to_string(f.failedReceives) +
            " failed receives\n";
    text += "not sent: " + std::to_string(f.copies) + " copies to one address, " + std::to_string(f.overSilentBudget) +
            " over a silent address's budget\n";
    std::string saveText = "none yet";
    if (save.endedAt)
        saveText = DateTimeText(*save.endedAt) + ", " + JsonObject::Decimal(save.seconds, 3) + " s, " +
                   (save.error.empty() ? "ok" : "FAILED: " + save.error) + " (" + Counted(save.saves, "save", "saves") +
                   ", " + std::to_string(save.failures) + " failed)";
    text += "last save: " + saveText + "\n";
    text += "traffic log today: " + f.logPath + ", " + (f.logBytes ? Megabytes(*f.logBytes) : "not there") + "\n";
    text += "bans: " + std::to_string(f.bans) + "\n";
    const BadScores bad = BadScoresOf(operations_);
    text += bad.text;

    JsonObject save_;
    save_.Number("saves", save.saves).Number("failures", save.failures);
    if (save.endedAt)
        save_.Text("ended_at", DateTimeText(*save.endedAt)).Number("seconds", save.seconds).Bool("ok", save.error.empty());
    if (!save.error.empty())
        save_.Text("error", save.error);
    JsonObject json;
    json.Text("program", setup_.program).Text("version", setup_.version).Number("uptime_seconds", f.uptimeSeconds);
    json.Number("players_online", static_cast<std::uint64_t>(f.online)).Number("players_registered", f.registered);
    json.Raw("requests_per_second", f.receivedPerSecond ? JsonObject::Decimal(*f.receivedPerSecond, 1) : "null");
    json.Raw("datagrams_sent_per_second", f.sentPerSecond ? JsonObject::Decimal(*f.sentPerSecond, 1) : "null");
    json.Number("requests_total", f.received).Number("datagrams_sent_total", f.sent);
    json.Raw("dropped", JsonObject()
                            .Number("rate_limit", f.overRate)
                            .Number("registration_limit", f.overRegistrations)
                            .Number("output_share", f.overOutputShare)
                            .Number("registration_wait", f.nickWaitedOut)
                            .Number("banned", f.banned)
                            .Number("failed_receive", f.failedReceives)
                            .Done());
    json.Raw("not_sent", JsonObject().Number("copy", f.copies).Number("silent_budget", f.overSilentBudget).Done());
    json.Raw("last_save", save_.Done());
    json.Text("log_file", f.logPath).Raw("log_bytes", f.logBytes ? std::to_string(*f.logBytes) : "null");
    json.Number("bans", static_cast<std::uint64_t>(f.bans));
    json.Raw("rankings", bad.json);
    return ConsoleReply{true, text, json.Done()};
}

ConsoleReply Console::Who() const
{
    std::vector<std::vector<std::string>> lines{{"NICK", "ADDRESS", "FLAG", "IDLE"}};
    std::vector<std::string> players;
    for (const PlayerOnline& player : operations_.PlayersOnline()) {
        const std::optional<std::int64_t>& idle = player.idleSeconds;
        lines.push_back({ReadableText(player.nick), ReadableText(player.address), ReadableText(player.flag),
                         idle ? Duration(*idle) : "(none since start-up)"});
        players.push_back(JsonObject()
                              .CodePage("nick", player.nick)
                              .CodePage("address", player.address)
                              .CodePage("flag", player.flag)
                              .Bool("pinged", player.pinged)
                              .Raw("idle_seconds", idle ? std::to_string(*idle) : "null")
                              .Done());
    }
    std::string text = players.empty() ? "" : Columns(lines);
    text += Counted(players.size(), "player", "players") + " online\n";
    return ConsoleReply{true, text, JsonObject().Raw("players", JsonArray(players)).Done()};
}

ConsoleReply Console::Top(const Words& words) const
{
    int count = 9;
    if (words.size() > 1) {
        const std::string& word = words[1];
        const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), count);
        if (error != std::errc() || end != word.data() + word.size() || count < 1 || count > kMostRanked)
            return Refused("top takes how many rows to show, 1 to " + std::to_string(kMostRanked) + ", not \"" + word + "\"");
    }
    std::vector<std::vector<std::string>> lines{{"RANK", "NICK", "SCORE", ""}};
    std::vector<std::string> rows;
    for (const RankedPlayer& player : operations_.Ranking(count)) {
        lines.push_back({std::to_string(player.rank), ReadableText(player.nick), ReadableText(player.score),
                         player.online ? "online" : ""});
        rows.push_back(JsonObject()
                           .Number("rank", static_cast<std::int64_t>(player.rank))
                           .CodePage("nick", player.nick)
                           .CodePage("score", player.score)
                           .Bool("online", player.online)
                           .Done());
    }
    const std::string text = rows.empty() ? "nobody is registered\n" : Columns(lines);
    return ConsoleReply{true, text, JsonObject().Raw("ranking", JsonArray(rows)).Done()};
}

ConsoleReply Console::Notice(const Words& words)
{
    ConsoleReply refusal;
    const auto text = CodePage(words[1], "text", refusal);
    if (!text)
        return refusal;
    const std::size_t online = operations_.Figures().online;
    operations_.SendNotice(*text);
    return Done("sent to " + Counted(online, "player", "players") + " online\n",
                JsonObject().Number("recipients", static_cast<std::uint64_t>(online)));
}

ConsoleReply Console::Kick(const Words& words)
{
    ConsoleReply refusal;
    const auto nick = CodePage(words[1], "nick", refusal);
    if (!nick)
        return refusal;
    const std::string registered = operations_.RegisteredNick(*nick);
    operations_.KickPlayer(*nick);
    return Done(ReadableText(registered) + " is offline now; the players online were told\n",
                JsonObject().CodePage("nick", registered));
}

namespace {

// The reply for a change that waited for its save: done once on disk, refused when the save
// failed (the change stays in the table, and the next save that works keeps it).
ConsoleOperations::SaveDone AfterSave(const std::function<void(ConsoleReply)>& reply, std::string doneText, const ConsoleOperations& lobby)
{
    return [reply, doneText = std::move(doneText), &lobby](std::exception_ptr error) {
        if (!error) {
            reply(Done(doneText, JsonObject().Number("save_seconds", lobby.LastSave().seconds)));
            return;
        }
        reply(Refused("the change is made but the save failed, so it is not on disk yet: " + lobby.LastSave().error));
    };
}

} // namespace

void Console::ChangePassword(const Words& words, const Reply& reply)
{
    ConsoleReply refusal;
    const auto nick = CodePage(words[1], "nick", refusal);
    const auto password = nick ? CodePage(words[2], "password", refusal) : std::nullopt;
    if (!nick || !password) {
        reply(refusal);
        return;
    }
    const std::string registered = operations_.RegisteredNick(*nick);
    operations_.ChangePassword(*nick, *password,
                         AfterSave(reply, "the password of " + ReadableText(registered) + " is changed, and on disk\n", operations_));
}

void Console::Remove(const Words& words, const Reply& reply)
{
    if (words[1] == kEmptyNickWord) {
        RemoveEmptyNicks(reply);
        return;
    }
    ConsoleReply refusal;
    const auto nick = CodePage(words[1], "nick", refusal);
    if (!nick) {
        reply(refusal);
        return;
    }
    const std::string registered = operations_.RegisteredNick(*nick);
    operations_.RemovePlayer(*nick, AfterSave(reply, ReadableText(registered) + " is removed from the registry, on disk\n", operations_));
}

void Console::RemoveEmptyNicks(const Reply& reply)
{
    operations_.RemoveEmptyNicks([reply, &lobby = operations_](int removed) {
        return AfterSave(reply, Counted(static_cast<std::uint64_t>(removed), "row", "rows") +
                                    " with an empty nick removed from the registry, on disk\n", lobby);
    });
}

// The points as the operator types them: a whole decimal number, a sign allowed.
static std::optional<std::int32_t> Points(const std::string& word)
{
    const bool plus = !word.empty() && word.front() == '+';
    const char* begin = word.data() + (plus ? 1 : 0);
    const char* end = word.data() + word.size();
    std::int32_t points = 0;
    const auto [stop, error] = std::from_chars(begin, end, points);
    if (begin == end || error != std::errc() || stop != end || (plus && *begin == '-'))
        return std::nullopt;
    return points;
}

void Console::Score(const Words& words, const Reply& reply)
{
    ConsoleReply refusal;
    const auto nick = CodePage(words[1], "nick", refusal);
    if (!nick) {
        reply(refusal);
        return;
    }
    const std::optional<std::int32_t> points = Points(words[2]);
    if (!points) {
        reply(Refused("score takes the player's new score, a whole number from -2147483648 to 2147483647, not \"" +
                      words[2] + "\""));
        return;
    }
    const std::string registered = operations_.RegisteredNick(*nick);
    const std::string done = "the score of " + ReadableText(registered) + " is " + std::to_string(*points) + ", on disk\n";
    operations_.SetScore(*nick, *points, [reply, done, &lobby = operations_](std::exception_ptr error) {
        if (error) {
            AfterSave(reply, done, lobby)(error);
            return;
        }
        // The rankings as they stand once on disk: running again, or still stopped by another row.
        const BadScores bad = BadScoresOf(lobby);
        reply(Done(done + bad.text, JsonObject().Number("save_seconds", lobby.LastSave().seconds).Raw("rankings", bad.json)));
    });
}

void Console::Save(const Reply& reply)
{
    operations_.SaveNow([reply, &lobby = operations_](std::exception_ptr error) {
        const SaveRecord& save = lobby.LastSave();
        if (error) {
            reply(Refused("the save failed: " + save.error));
            return;
        }
        reply(Done("saved in " + JsonObject::Decimal(save.seconds, 3) + " s\n",
                   JsonObject().Number("seconds", save.seconds)));
    });
}

ConsoleReply Console::Ban(const Words& words, bool add)
{
    // Without a kind the word says what it is: an address or range, or a nick.
    const std::string kind = words.size() == 3 ? words[1] : "";
    ConsoleReply refusal;
    const auto value = CodePage(words.back(), kind == "address" ? "address" : "nick", refusal);
    if (!value)
        return refusal;
    std::string problem;
    const std::optional<BanEntry> entry = BanList::Parse(kind, *value, problem);
    if (!entry)
        return Refused(problem);
    const std::string shown = (entry->kind == BanEntry::Kind::Nick ? "nick " : "address ") + ReadableText(entry->value);
    if (!add) {
        if (!operations_.RemoveBan(*entry))
            return Refused("there is no ban of " + shown);
        return Done(shown + " is no longer banned\n");
    }
    const std::optional<std::vector<std::string>> offline = operations_.AddBan(*entry);
    if (!offline)
        return Done(shown + " was banned already\n");
    std::vector<std::string> nicks;
    std::string names;
    for (const std::string& nick : *offline) {
        nicks.push_back(JsonObject::QuotedCodePage(nick));
        names += (names.empty() ? "" : ", ") + ReadableText(nick);
    }
    return Done(shown + " is banned" + (names.empty() ? "" : "; taken offline: " + names) + "\n",
                JsonObject().Raw("taken_offline", JsonArray(nicks)));
}

ConsoleReply Console::Bans() const
{
    std::string text;
    std::vector<std::string> entries;
    for (const BanEntry& entry : operations_.Bans()) {
        const char* kind = entry.kind == BanEntry::Kind::Nick ? "nick" : "address";
        text += std::string(kind) + " " + ReadableText(entry.value) + "\n";
        entries.push_back(JsonObject().Text("kind", kind).CodePage("value", entry.value).Done());
    }
    if (entries.empty())
        text = "no bans\n";
    return ConsoleReply{true, text, JsonObject().Raw("bans", JsonArray(entries)).Done()};
}

namespace {

// One figure of metrics: its name, type and help line, and its values, one per label value
// ("" for a figure without a label).
struct Metric {
    const char* name;
    const char* type;
    const char* help;
    std::vector<std::pair<std::string, std::string>> values;
};

// The values of a figure without a label: value alone.
std::vector<std::pair<std::string, std::string>> Unlabelled(std::string value)
{
    return {{"", std::move(value)}};
}

// Adds metric to text, as its HELP and TYPE lines and a line per value, and to json, as a
// number or, labelled, as an object of its label values.
void AddMetric(const Metric& metric, std::string& text, JsonObject& json)
{
    text += std::string("# HELP ") + metric.name + " " + metric.help + "\n# TYPE " + metric.name + " " + metric.type + "\n";
    if (metric.values.size() == 1 && metric.values.front().first.empty()) {
        text += std::string(metric.name) + " " + metric.values.front().second + "\n";
        json.Raw(metric.name, metric.values.front().second);
        return;
    }
    JsonObject labelled;
    const std::string label = std::string(metric.name) == "lobby_console_connections_total" ? "result" : "reason";
    for (const auto& [value, figure] : metric.values) {
        text += std::string(metric.name) + "{" + label + "=\"" + value + "\"} " + figure + "\n";
        labelled.Raw(value, figure);
    }
    json.Raw(metric.name, labelled.Done());
}

// The figures of metrics in the order they are shown, lobby_up and lobby_build_info
// (which lead) and the last save's time (which ends) aside.
std::vector<Metric> MetricTable(const Figures& f, const SaveRecord& save)
{
    const auto one = [](auto value) { return Unlabelled(std::to_string(value)); };
    return {
        {"lobby_uptime_seconds", "gauge", "Seconds since the lobby started.", one(f.uptimeSeconds)},
        {"lobby_players_online", "gauge", "Players online now.", one(f.online)},
        {"lobby_players_registered", "gauge", "Players in the registry.", one(f.registered)},
        {"lobby_requests_total", "counter", "Requests received.", one(f.received)},
        {"lobby_datagrams_sent_total", "counter", "Datagrams sent.", one(f.sent)},
        {"lobby_dropped_total", "counter", "Requests dropped unseen, by reason.",
         {{"rate_limit", std::to_string(f.overRate)},
          {"registration_limit", std::to_string(f.overRegistrations)},
          {"output_share", std::to_string(f.overOutputShare)},
          {"registration_wait", std::to_string(f.nickWaitedOut)},
          {"banned", std::to_string(f.banned)},
          {"failed_receive", std::to_string(f.failedReceives)}}},
        {"lobby_not_sent_total", "counter", "Datagrams the flood guard did not send, by reason.",
         {{"copy", std::to_string(f.copies)}, {"silent_budget", std::to_string(f.overSilentBudget)}}},
        {"lobby_saves_total", "counter", "Registry saves ended.", one(save.saves)},
        {"lobby_save_failures_total", "counter", "Registry saves that failed.", one(save.failures)},
        {"lobby_save_seconds", "gauge", "How long the last registry save took.",
         Unlabelled(JsonObject::Decimal(save.seconds, 6))},
        {"lobby_log_bytes_today", "gauge", "Size of today's traffic log.", one(f.logBytes.value_or(0))},
        {"lobby_bans", "gauge", "Bans in force.", one(f.bans)},
        {"lobby_console_connections_total", "counter", "Connections to the console, by how they ended.",
         // Every connection refused after it was taken was counted as taken too.
         {{"served", std::to_string(f.clients.accepted - f.clients.tooLong - f.clients.timedOut)},
          {"busy", std::to_string(f.clients.busy)},
          {"too_long", std::to_string(f.clients.tooLong)},
          {"timed_out", std::to_string(f.clients.timedOut)}}},
    };
}

} // namespace

// The figures in Prometheus's text form (version 0.0.4), or as one JSON object of the same
// names, a labelled figure as an object of its labels' values.
ConsoleReply Console::Metrics() const
{
    const Figures f = Gather(operations_, clock_.NowMs(), startedMs_, samples_.front(), setup_);
    const SaveRecord& save = operations_.LastSave();
    // Up, and which build: what a monitoring system asks first of anything it scrapes.
    std::string text = "# HELP lobby_up Whether the lobby answers.\n# TYPE lobby_up gauge\nlobby_up 1\n"
                       "# HELP lobby_build_info The lobby's version.\n# TYPE lobby_build_info gauge\n"
                       "lobby_build_info{version=\"" + setup_.version + "\"} 1\n";
    JsonObject json;
    json.Raw("lobby_up", "1").Raw("lobby_build_info", JsonObject().Raw(setup_.version, "1").Done());
    for (const Metric& metric : MetricTable(f, save))
        AddMetric(metric, text, json);
    // 0 until a save has worked, so an alert on its age fires for a lobby that never saved.
    const std::string succeeded = std::to_string(save.succeededAtEpochSeconds.value_or(0));
    text += "# HELP lobby_last_save_success_timestamp_seconds When a registry save last worked, Unix time.\n"
            "# TYPE lobby_last_save_success_timestamp_seconds gauge\n"
            "lobby_last_save_success_timestamp_seconds " + succeeded + "\n";
    json.Raw("lobby_last_save_success_timestamp_seconds", succeeded);
    return ConsoleReply{true, text, json.Done()};
}

} // namespace lobby
