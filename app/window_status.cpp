#include "app/window_status.h"

#include <algorithm>
#include <cstdio>

#include "server/lobby/form1.h"

namespace lobby {

std::string LastSaveText(const SaveRecord& save)
{
    if (!save.endedAt)
        return "no save yet";
    const LocalDateTime& at = *save.endedAt;
    char when[32];
    std::snprintf(when, sizeof when, "%04d-%02d-%02d %02d:%02d:%02d", at.year, at.month, at.day, at.hour, at.minute,
                  at.second);
    if (save.error.empty())
        return std::string("last save ") + when + ", ok";
    return std::string("last save ") + when + " FAILED: " + save.error;
}

std::string WindowStatusText(const TForm1& form)
{
    const int registered = std::max(form.Cad.RowCount() - 1, 0);
    return std::to_string(form.Cad.Online().size()) + " online, " + std::to_string(registered) + " registered; " +
           LastSaveText(form.Saves().LastSave());
}

} // namespace lobby
