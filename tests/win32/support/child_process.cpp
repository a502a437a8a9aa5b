#include "support/child_process.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include <windows.h>

#include "platform/win32/windows_error.h"

namespace lobby::win32 {

namespace {

namespace fs = std::filesystem;

// An inheritable file the child writes one of its streams into.
HANDLE OutputFile(const fs::path& path)
{
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        throw WindowsError("Cannot create " + path.string(), ::GetLastError());
    return file;
}

std::string TakeContents(const fs::path& path)
{
    std::string contents;
    {
        std::ifstream in(path, std::ios::binary);
        contents.assign(std::istreambuf_iterator<char>(in), {});
    }
    // Wine may let go of an ended child's files a moment after the child has gone; a file
    // left in the temporary folder harms nobody.
    std::error_code ignored;
    for (int i = 0; i < 50 && !fs::remove(path, ignored) && fs::exists(path, ignored); ++i)
        ::Sleep(100);
    return contents;
}

} // namespace

std::wstring BesideTest(const std::wstring& program)
{
    wchar_t self[MAX_PATH];
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    return (fs::path(self).parent_path() / program).wstring();
}

ChildProcess::ChildProcess(const std::wstring& commandLine)
{
    static int runs = 0;
    const std::wstring stem = L"child-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++runs);
    outPath_ = (fs::temp_directory_path() / (stem + L".out")).wstring();
    errPath_ = (fs::temp_directory_path() / (stem + L".err")).wstring();
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = OutputFile(outPath_);
    startup.hStdError = OutputFile(errPath_);
    PROCESS_INFORMATION process{};
    std::wstring line = commandLine; // CreateProcessW may write into it
    const BOOL started = ::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                          &startup, &process);
    const DWORD startError = ::GetLastError();
    ::CloseHandle(startup.hStdOutput);
    ::CloseHandle(startup.hStdError);
    if (!started)
        throw WindowsError("Cannot start a child program", startError);
    ::CloseHandle(process.hThread);
    process_ = process.hProcess;
}

ChildProcess::~ChildProcess()
{
    if (process_ != nullptr)
        Wait(0);
}

std::string ChildProcess::OutSoFar() const
{
    std::ifstream in(fs::path(outPath_), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

ChildResult ChildProcess::Wait(unsigned long timeoutMs)
{
    ChildResult result;
    if (::WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0) {
        result.timedOut = true;
        ::TerminateProcess(process_, 255);
        ::WaitForSingleObject(process_, INFINITE);
    }
    ::GetExitCodeProcess(process_, &result.exitCode);
    ::CloseHandle(process_);
    process_ = nullptr;
    result.out = TakeContents(outPath_);
    result.err = TakeContents(errPath_);
    return result;
}

ChildResult RunChild(const std::wstring& commandLine, unsigned long timeoutMs)
{
    return ChildProcess(commandLine).Wait(timeoutMs);
}

} // namespace lobby::win32
