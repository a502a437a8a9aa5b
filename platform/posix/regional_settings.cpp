#include "platform/regional_settings.h"

#include <clocale>
#include <langinfo.h>

namespace lobby {

namespace {

// Copies one LC_TIME item; nl_langinfo's buffer belongs to the C library and is overwritten
// by the next call.
std::string LanguageItem(nl_item item)
{
    const char* text = nl_langinfo(item);
    return text != nullptr ? std::string(text) : std::string();
}

} // namespace

RegionalSettings ReadSystemRegionalSettings()
{
    // An environment naming a locale that is not installed leaves the category unchanged;
    // fall back to "C" explicitly so a re-read after such a change is still well defined.
    if (std::setlocale(LC_TIME, "") == nullptr)
        std::setlocale(LC_TIME, "C");
    RegionalSettings settings;
    settings.shortDatePicture = LanguageItem(D_FMT);
    settings.timePicture = LanguageItem(T_FMT);
    settings.timePicture12 = LanguageItem(T_FMT_AMPM);
    settings.amDesignator = LanguageItem(AM_STR);
    settings.pmDesignator = LanguageItem(PM_STR);
    return settings;
}

} // namespace lobby
