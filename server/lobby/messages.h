#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "server/registry/registry.h"

namespace lobby {

// What the server says to clients: the texts of the server-to-client half of the protocol,
// in the 8-bit code page the clients read (the accented letters are single bytes).
namespace messages {

// The most a datagram carries; longer messages are cut to it.
constexpr std::size_t kMaxDatagram = 2048;

constexpr std::string_view kWelcome = "sys|Bem vindo ao nosso servidor!";
constexpr std::string_view kConnected = "sys|Conectado ao jogo!";
constexpr std::string_view kOwnScore = "okj|";
constexpr std::string_view kPlayerList = "lsj|";
constexpr std::string_view kRanking = "ttn|";
constexpr std::string_view kListEnd = "...";
constexpr std::string_view kChat = "msg|";
constexpr std::string_view kSaid = " disse: ";
constexpr std::string_view kPrivate = " manda dizer s\xF3 para voc\xEA: ";
constexpr std::string_view kLeavePrefix = "msg|O Vemba avisa que ";
constexpr std::string_view kLeaveSuffix = " saiu do jogo.";
constexpr std::string_view kPing = "png|";
constexpr std::string_view kNickTaken = "Este nick j\xE1 existe!";
// The kind of the server's own notices; the operator's console sends its notices so.
constexpr std::string_view kSystem = "sys|";

// Appends one list entry to a player list or ranking under construction, unless the entry
// and the closing "..." would no longer fit in one datagram. Says whether it was appended;
// once one entry is refused the list ends there, so no later entry slips in out of order.
bool AppendListEntry(std::string& list, std::string_view entry);

// The player list ("lsj|" flag and nick of each online row, in row order) and the ranking
// ("ttn|" nick - score of the first nine rows, online or not): each one datagram, cut before
// the entry that would not fit.
std::string PlayerList(const Registry& Cad);
std::string Ranking(const Registry& Cad);

} // namespace messages

} // namespace lobby
