#include "server/registry/registry_saver.h"

#include "platform/worker_thread.h"
#include "server/registry/registry_file.h"

namespace lobby {

RegistrySaveResult SaveSnapshot(DataFolder& folder, std::string_view name, const RegistrySnapshot& snapshot, bool keepText,
                                const SaveSteps& steps)
{
    RegistrySaveResult result;
    try {
        if (steps.before)
            steps.before(snapshot);
        WriteRegistryFile(folder, name, snapshot);
        if (steps.after)
            steps.after();
        if (keepText)
            result.text = RegistryText(snapshot, &result.lineStarts);
    } catch (...) {
        result.error = std::current_exception();
    }
    return result;
}

void InlineRegistrySaver::Start(DataFolder& folder, std::string name, RegistrySnapshot snapshot, bool keepText, Done done,
                                SaveSteps steps)
{
    RegistrySaveResult result = SaveSnapshot(folder, name, snapshot, keepText, steps);
    snapshot = {}; // let go of the rows before the end is told, as a worker would
    done(std::move(result));
}

void BackgroundRegistrySaver::Start(DataFolder& folder, std::string name, RegistrySnapshot snapshot, bool keepText, Done done,
                                    SaveSteps steps)
{
    job_.Start(
        [&folder, name = std::move(name), snapshot = std::move(snapshot), keepText, steps = std::move(steps)]() mutable {
            // The loop answers players, the save only has to keep up with them.
            RunThisThreadAtIdlePriority();
            RegistrySaveResult result = SaveSnapshot(folder, name, snapshot, keepText, steps);
            snapshot = {}; // the rows are let go before the loop hears of the end
            return result;
        },
        std::move(done));
}

} // namespace lobby
