#pragma once

// A data folder held in memory, for the fuzz targets: the lobby's files without a system call,
// so an input that saves the registry a dozen times still takes microseconds. Links do not
// exist here; one thread only.

#include <cerrno>
#include <map>
#include <string>

#include "platform/data_folder.h"
#include "platform/posix/errno_reason.h"

namespace test_support {

using namespace lobby;

class MemoryDataFolder : public DataFolder {
public:
    MemoryDataFolder() : DataFolder("/memory/") {}

    std::map<std::string, std::string, std::less<>> files;

    std::optional<FileText> Read(std::string_view name) override
    {
        const auto found = files.find(name);
        if (found == files.end())
            return std::nullopt;
        FileText text;
        text.Append(found->second.data(), found->second.size());
        return text;
    }

    void Replace(std::string_view name, const std::function<bool(FileSink&)>& write) override
    {
        StringSink sink;
        if (!write(sink))
            throw FileError(FileError::Step::kWrite, PathOf(name) + ".tmp", ReasonFromErrno(EIO, "write refused"));
        files[std::string(name)] = std::move(sink.bytes);
    }

    void Copy(std::string_view from, std::string_view to) override
    {
        const auto source = files.find(from);
        if (source == files.end())
            throw FileError(FileError::Step::kOpen, PathOf(from), ReasonFromErrno(ENOENT));
        if (!files.emplace(std::string(to), source->second).second)
            throw FileError(FileError::Step::kCreate, PathOf(to), ReasonFromErrno(EEXIST));
    }

    std::unique_ptr<AppendFile> OpenForAppending(std::string_view name) override
    {
        return std::make_unique<MemoryAppendFile>(files[std::string(name)]);
    }

private:
    struct StringSink : FileSink {
        bool Write(std::string_view more) override
        {
            bytes += more;
            return true;
        }
        std::string bytes;
    };

    // Appends to the folder's entry, which lives as long as the folder (map nodes stay put).
    class MemoryAppendFile : public AppendFile {
    public:
        explicit MemoryAppendFile(std::string& bytes) : bytes_(bytes) {}
        std::size_t Write(std::string_view more, lobby::SystemReason& error) override
        {
            error = {};
            bytes_ += more;
            return more.size();
        }
        std::string Tail(std::size_t count) override
        {
            return bytes_.substr(bytes_.size() > count ? bytes_.size() - count : 0);
        }
        bool TakeBack(std::size_t count) override
        {
            if (count > bytes_.size())
                return false;
            bytes_.resize(bytes_.size() - count);
            return true;
        }
        lobby::SystemReason Sync() override { return {}; }
        lobby::SystemReason Close() override { return {}; }

    private:
        std::string& bytes_;
    };
};

} // namespace test_support
