#include "server/lobby/form_environment.h"

#include "platform/system_data_folder.h"

namespace lobby {

DataFolder& DataFolderOf(FormEnvironment& environment)
{
    if (!environment.dataFolder)
        environment.dataFolder = std::make_shared<SystemDataFolder>(environment.appFolder);
    return *environment.dataFolder;
}

std::unique_ptr<RegistrySaver> MakeSaver(const FormEnvironment& environment)
{
    if (environment.makeSaver)
        return environment.makeSaver();
    if (environment.loop)
        return std::make_unique<BackgroundRegistrySaver>(*environment.loop);
    return std::make_unique<InlineRegistrySaver>();
}

std::unique_ptr<JournalWriter> MakeJournalWriter(const FormEnvironment& environment)
{
    if (environment.makeJournalWriter)
        return environment.makeJournalWriter();
    if (environment.loop)
        return std::make_unique<BackgroundJournalWriter>(*environment.loop);
    return std::make_unique<InlineJournalWriter>();
}

} // namespace lobby
