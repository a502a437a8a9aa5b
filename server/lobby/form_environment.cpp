#include "server/lobby/form_environment.h"

#include "platform/system_data_folder.h"

namespace lobby {

DataFolder& DataFolderOf(FormEnvironment& environment)
{
    if (!environment.dataFolder)
        environment.dataFolder = std::make_shared<SystemDataFolder>(environment.appFolder);
    return *environment.dataFolder;
}

namespace {

// A background worker of kind Made: made as the environment's make asks, else on a thread of
// its own (InBackground) when there is a loop to hear its end, else one working at once
// (Inline).
template <class Made, class InBackground, class Inline>
std::unique_ptr<Made> MakeWorker(const std::function<std::unique_ptr<Made>()>& make, EventLoop* loop)
{
    if (make)
        return make();
    if (loop)
        return std::make_unique<InBackground>(*loop);
    return std::make_unique<Inline>();
}

} // namespace

std::unique_ptr<RegistrySaver> MakeSaver(const FormEnvironment& environment)
{
    return MakeWorker<RegistrySaver, BackgroundRegistrySaver, InlineRegistrySaver>(environment.makeSaver,
                                                                                  environment.loop);
}

std::unique_ptr<JournalWriter> MakeJournalWriter(const FormEnvironment& environment)
{
    return MakeWorker<JournalWriter, BackgroundJournalWriter, InlineJournalWriter>(environment.makeJournalWriter,
                                                                                  environment.loop);
}

} // namespace lobby
