#pragma once

// The server's messages as a game client reads them, written out here byte for byte (the
// accented letters are single 8-bit bytes) rather than taken from the server's own
// catalogue, so a wrong byte there shows up as a failure.

#include <string>
#include <vector>

namespace test_support {

inline const std::string kWelcome = "sys|Bem vindo ao nosso servidor!";
inline const std::string kConnected = "sys|Conectado ao jogo!";
inline const std::string kNickTaken = "Este nick j\xE1 existe!";
inline const std::string kPing = "png|";

inline std::string OwnScore(const std::string& score) { return "okj|" + score; }
inline std::string Chat(const std::string& nick, const std::string& text)
{
    return "msg|" + nick + " disse: " + text;
}
inline std::string Private(const std::string& nick, const std::string& text)
{
    return "msg|" + nick + " manda dizer s\xF3 para voc\xEA: " + text;
}
inline std::string LeaveNotice(const std::string& nick)
{
    return "msg|O Vemba avisa que " + nick + " saiu do jogo.";
}
// entries: flag + nick for each online player, in row order.
inline std::string PlayerList(const std::vector<std::string>& entries)
{
    std::string list = "lsj|";
    for (const std::string& entry : entries)
        list += entry + "|";
    return list + "...";
}
// entries: nick + " - " + score for each ranked row, in row order.
inline std::string Ranking(const std::vector<std::string>& entries)
{
    std::string list = "ttn|";
    for (const std::string& entry : entries)
        list += entry + "|";
    return list + "...";
}

} // namespace test_support
