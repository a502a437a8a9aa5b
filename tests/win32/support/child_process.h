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

// A program started and left running: Wait ends it after its time, the destructor at once.
class ChildProcess {
public:
    explicit ChildProcess(const std::wstring& commandLine);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // What it has written to standard output so far.
    std::string OutSoFar() const;
    // Waits at most timeoutMs for it to end (then ends it) and takes what it wrote.
    ChildResult Wait(unsigned long timeoutMs);

private:
    std::wstring outPath_;
    std::wstring errPath_;
    void* process_ = nullptr;
};

// Runs commandLine (program and arguments, quoted as Windows expects), standard output and
// error each into a file of its own, and waits at most timeoutMs for it to end (then ends it).
ChildResult RunChild(const std::wstring& commandLine, unsigned long timeoutMs);

} // namespace lobby::win32
