#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace lobby {

// The lobby's figures over HTTP, for a monitoring system that scrapes them (Prometheus):
// GET /metrics answers the text lobbyctl metrics prints. Only that: HTTP/1.0 or 1.1, one
// request a connection, which closes after the answer.
namespace metrics_http {

// The whole answer to one request head (up to its blank line): 200 with the figures for GET
// (or HEAD) /metrics, 404 for another path, 405 for another method, 400 for what is no
// HTTP request. metrics is asked only for a 200.
std::string Answer(std::string_view request, const std::function<std::string()>& metrics);

// What the listener sends, unasked, to a client it will not serve.
std::string Busy();        // 503: all places taken
std::string TooLong();     // 431: a head over the bytes read
std::string TimedOut();    // 408: the request did not end in time

} // namespace metrics_http

} // namespace lobby
