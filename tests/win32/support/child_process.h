#pragma once

#include <string>

namespace lobby::win32 {

// How a program the test started ended: its exit code and what it wrote.
struct ChildResult {
    unsigned long exitCode = 0;
    bool timedOut = false; // ended by the test after the time it was given
    std::string out;
    std::string err;
};

// The full path of a program built beside the test's own (lobby-client.exe ...).
std::wstring BesideTest(const std::wstring& program);

// Runs commandLine (program and arguments, quoted as Windows expects), standard output and
// error each into a file of its own, and waits at most timeoutMs for it to end (then ends it).
ChildResult RunChild(const std::wstring& commandLine, unsigned long timeoutMs);

} // namespace lobby::win32
