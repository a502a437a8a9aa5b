#include "server/console/metrics_http.h"

namespace lobby::metrics_http {

namespace {

// A plain answer the client reads up to the connection's end.
std::string Response(std::string_view status, std::string_view contentType, const std::string& body, bool withBody = true,
                     std::string_view extra = {})
{
    std::string head = "HTTP/1.1 " + std::string(status) + "\r\nContent-Type: " + std::string(contentType) +
                       "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n" +
                       std::string(extra) + "\r\n";
    return withBody ? head + body : head;
}

std::string Plain(std::string_view status, const std::string& text, std::string_view extra = {})
{
    return Response(status, "text/plain; charset=utf-8", text + "\n", true, extra);
}

} // namespace

std::string Answer(std::string_view request, const std::function<std::string()>& metrics)
{
    // The request line: METHOD SP TARGET SP HTTP/x.y
    const std::string_view line = request.substr(0, request.find_first_of("\r\n"));
    const std::size_t first = line.find(' ');
    const std::size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
    if (second == std::string_view::npos || line.substr(second + 1).rfind("HTTP/1.", 0) != 0)
        return Plain("400 Bad Request", "not an HTTP/1 request");
    const std::string_view method = line.substr(0, first);
    std::string_view target = line.substr(first + 1, second - first - 1);
    target = target.substr(0, target.find('?')); // Prometheus may add parameters it does not need
    if (target != "/metrics")
        return Plain("404 Not Found", "the figures are at /metrics");
    if (method != "GET" && method != "HEAD")
        return Plain("405 Method Not Allowed", "only GET and HEAD", "Allow: GET, HEAD\r\n");
    // Prometheus's text format, version 0.0.4.
    return Response("200 OK", "text/plain; version=0.0.4; charset=utf-8", metrics(), method == "GET");
}

std::string Busy()
{
    return Plain("503 Service Unavailable", "too many clients at once; try again", "Retry-After: 1\r\n");
}

std::string TooLong()
{
    return Plain("431 Request Header Fields Too Large", "the request is too long");
}

std::string TimedOut()
{
    return Plain("408 Request Timeout", "the request did not end in time");
}

} // namespace lobby::metrics_http
