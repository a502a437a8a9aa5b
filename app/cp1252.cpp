#include "app/cp1252.h"

#include "platform/cp1252.h"

namespace lobby {

QString FromCp1252(std::string_view bytes)
{
    QString text(static_cast<qsizetype>(bytes.size()), Qt::Uninitialized);
    QChar* out = text.data();
    for (unsigned char byte : bytes) {
        const char16_t unit = Cp1252ToUnicode(byte);
        *out++ = QChar(unit != 0 ? unit : char16_t(byte)); // an undefined byte shows as its own code
    }
    return text;
}

} // namespace lobby
