#include "app/cp1252.h"

namespace {

// Unicode of bytes 80-9F; 0 marks the five bytes the code page leaves undefined, shown as
// the byte's own code point.
constexpr char16_t kHighControls[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

} // namespace

QString FromCp1252(std::string_view bytes)
{
    QString text(static_cast<qsizetype>(bytes.size()), Qt::Uninitialized);
    QChar* out = text.data();
    for (unsigned char byte : bytes) {
        char16_t unit = byte;
        if (byte >= 0x80 && byte <= 0x9F && kHighControls[byte - 0x80] != 0)
            unit = kHighControls[byte - 0x80];
        *out++ = QChar(unit);
    }
    return text;
}
