#include "server/lobby/form1.h"

#include "platform/file_bytes.h"

namespace lobby {

// The operator's bans, as the lobby keeps them: read at start-up, asked for every request.

void TForm1::LoadBans()
{
    const std::optional<std::string> text = ReadWholeFile(BansPath());
    if (!text)
        return;
    try {
        Bans.Load(*text);
    } catch (const Exception& error) {
        throw Exception(BansPath() + ": " + error.Message());
    }
}

bool TForm1::RefusedByBan(std::string_view address, const std::optional<RequestFields>& request)
{
    if (!Bans.Refuses(address, request))
        return false;
    ++counters_.banned;
    CountDropped();
    return true;
}

} // namespace lobby
