// A compression of one day of the traffic log that dies at a chosen step, for the test that
// checks what a crash there leaves (log_keeping_test). A program of its own, started as a
// ChildProgram: the test binary may have threads, so it never runs the compression in a
// child it merely forked.
//   compress_log_day FOLDER/ DATE STEP
// STEP is a CompressionStep's number (0 Writing, 1 Synced, 2 Renamed, 3 Removed); the
// process kills itself with SIGKILL on reaching it. Ends with status 0 when the compression
// ended without reaching it, 2 on wrong arguments.
#include <csignal>
#include <cstdio>
#include <string>

#include <unistd.h>

#include "server/traffic_log/log_compression.h"

using namespace lobby;

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fputs("usage: compress_log_day FOLDER/ DATE STEP\n", stderr);
        return 2;
    }
    const std::string step = argv[3];
    if (step.size() != 1 || step[0] < '0' || step[0] > '3') {
        std::fputs("STEP must be 0, 1, 2 or 3\n", stderr);
        return 2;
    }
    const auto crashAt = static_cast<CompressionStep>(step[0] - '0');
    CompressionControl control;
    control.onStep = [crashAt](CompressionStep reached) {
        if (reached == crashAt)
            ::kill(::getpid(), SIGKILL);
    };
    CompressLogDay(argv[1], argv[2], control);
    return 0;
}
