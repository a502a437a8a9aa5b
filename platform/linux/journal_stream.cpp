#include <cstdlib>
#include <string>
#include <sys/stat.h>

#include "platform/standard_error.h"

namespace lobby {

bool StandardErrorIsJournal()
{
    const char* named = std::getenv("JOURNAL_STREAM");
    if (!named || !*named)
        return false;
    struct stat status {};
    if (::fstat(2, &status) != 0)
        return false;
    const std::string mine =
        std::to_string(static_cast<unsigned long long>(status.st_dev)) + ":" + std::to_string(static_cast<unsigned long long>(status.st_ino));
    return mine == named;
}

} // namespace lobby
