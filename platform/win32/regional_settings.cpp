#include "platform/regional_settings.h"

#include "platform/win32/regional_texts.h"

namespace lobby {

RegionalSettings ReadSystemRegionalSettings()
{
    // Windows keeps one time picture, 12- or 24-hour as the operator chose: it stands for
    // both of the C library's, so "%r" reads the same as the picture itself.
    const win32::RegionalTexts texts = win32::ReadRegionalTexts();
    RegionalSettings settings;
    settings.shortDatePicture = win32::StrftimePicture(texts.shortDatePicture);
    settings.timePicture = win32::StrftimePicture(texts.timePicture);
    settings.timePicture12 = settings.timePicture;
    settings.amDesignator = texts.amDesignator;
    settings.pmDesignator = texts.pmDesignator;
    return settings;
}

} // namespace lobby
