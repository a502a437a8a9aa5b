#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lobby {

// What lobbyctl and a running lobby say to each other over the control socket: one request,
// one answer, then the connection closes. Plain UTF-8 text, so that an operator can also talk
// to the socket by hand (socat - UNIX-CONNECT:lobby.sock, then "status").
//
// A request is one line: its words (an optional "--json" first, the command, its
// arguments) with a TAB between two words. Within a word a backslash, TAB, LF and CR are
// written \\, \t, \n and \r, so that any word fits on the line.
// An answer is "ok" or "error" on a line of its own, then the body: text for people, or JSON
// when the request asked for it.
namespace console_protocol {

constexpr std::string_view kJsonWord = "--json";

// The request line for words, its LF included.
std::string RequestLine(const std::vector<std::string>& words);
// The words of a request line (without its line end). A backslash before any other byte
// stands for itself.
std::vector<std::string> RequestWords(std::string_view line);

std::string AnswerText(bool ok, std::string_view body);
struct Answer {
    bool ok = false;
    std::string body;
};
// The answer in text; nothing when it starts with neither status line.
std::optional<Answer> ReadAnswer(std::string_view text);

// UTF-8 text as a JSON string, quotes included: quotes, backslashes and control bytes escaped.
std::string JsonText(std::string_view utf8);

} // namespace console_protocol

} // namespace lobby
