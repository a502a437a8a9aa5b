// Log file names from any date picture (the regional settings are the operator's, and a
// locale may hold anything): the date text must always name a file in the log folder, with
// its 3rd and 6th bytes a "-" or a letter or digit. Time pictures, likewise, must give a time
// text. The first 7 bytes of an input pick the date and time; the rest, split at the first
// NUL, is the date picture and the time picture.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/invariants.h"
#include "platform/clock.h"
#include "platform/regional_settings.h"
#include "server/traffic_log/date_text.h"

using namespace lobby;

namespace {

bool FitForAFileName(unsigned char c)
{
    return c >= 0x20 && c != 0x7F && std::string_view("/\\:*?\"<>|").find(static_cast<char>(c)) == std::string_view::npos;
}

bool LetterOrDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 7)
        return 0;
    LocalDateTime now;
    now.year = 1900 + data[0] + (data[1] & 1) * 256; // 1900 to 2411
    now.month = 1 + data[2] % 12;
    now.day = 1 + data[3] % 31;
    now.hour = data[4] % 24;
    now.minute = data[5] % 60;
    now.second = data[6] % 60;
    now.weekday = (data[1] >> 1) % 7;
    const std::string_view rest(reinterpret_cast<const char*>(data) + 7, size - 7);
    const std::size_t nul = rest.find('\0');
    RegionalSettings settings;
    settings.shortDatePicture = std::string(rest.substr(0, nul));
    if (nul != std::string_view::npos) {
        settings.timePicture = std::string(rest.substr(nul + 1));
        settings.timePicture12 = settings.timePicture;
        settings.amDesignator = "a.m.";
        settings.pmDesignator = "";
    }

    const std::string date = DateText(settings, now);
    fuzz::Check(!date.empty(), "the date text is never empty", settings.shortDatePicture);
    for (const char c : date)
        fuzz::Check(FitForAFileName(static_cast<unsigned char>(c)), "the date text fits a file name", date);
    if (date.size() >= 3)
        fuzz::Check(date[2] == '-' || LetterOrDigit(date[2]), "the 3rd byte is '-' or a letter or digit", date);
    if (date.size() >= 6)
        fuzz::Check(date[5] == '-' || LetterOrDigit(date[5]), "the 6th byte is '-' or a letter or digit", date);
    fuzz::Check(DateText(settings, now) == date, "the same day gives the same date text");

    const std::string time = TimeText(settings, now);
    fuzz::Check(!time.empty(), "the time text is never empty", settings.timePicture);
    // The picture may hold a line break itself, or a conversion that stands for one ("%n",
    // "%On", ...): whatever its pieces say is a literal line break.
    bool pictureBreaksLines = false;
    for (const PictureItem& item : SplitPicture(settings.timePicture))
        pictureBreaksLines = pictureBreaksLines || item.literal.find_first_of("\r\n") != std::string::npos;
    fuzz::Check(time.find_first_of("\r\n") == std::string::npos || pictureBreaksLines,
                "a line break in the time text comes only from the picture", time);
    return 0;
}
