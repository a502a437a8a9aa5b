#pragma once

#include <csignal>
#include <sys/resource.h>

// Caps the size of the files this process writes while it lives, and restores the old cap
// when it goes: writing past the cap fails (EFBIG) instead of raising SIGXFSZ. A full disk
// for one test, without a disk.
class FileSizeCap {
public:
    explicit FileSizeCap(rlim_t bytes) : handler_(std::signal(SIGXFSZ, SIG_IGN))
    {
        getrlimit(RLIMIT_FSIZE, &saved_);
        rlimit capped = saved_;
        capped.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &capped);
    }
    ~FileSizeCap()
    {
        setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, handler_);
    }
    FileSizeCap(const FileSizeCap&) = delete;
    FileSizeCap& operator=(const FileSizeCap&) = delete;

private:
    rlimit saved_{};
    void (*handler_)(int);
};
