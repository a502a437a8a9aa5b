#pragma once

#include <string>

#include "platform/data_folder.h"

namespace lobby {

// A data folder on the system's file systems (platform/posix/, platform/win32/). See DataFolder.
class SystemDataFolder : public DataFolder {
public:
    using DataFolder::DataFolder;

    std::optional<FileText> Read(std::string_view name) override;
    void Replace(std::string_view name, const std::function<bool(FileSink&)>& write) override;
    void Copy(std::string_view from, std::string_view to) override;
    std::unique_ptr<AppendFile> OpenForAppending(std::string_view name) override;
};

// Makes the data folder at path ready before anything is written there: a missing folder is
// made, with every missing folder above it, each readable, writable and searchable by its
// owner only (0700: the files hold every password in clear). Raises Exception with one line
// naming the folder and the system's reason when it cannot be made, is no folder, or cannot
// be written by this process (its mode, a read-only mount, an immutable folder).
void PrepareDataFolder(const std::string& path);

} // namespace lobby
