#include "server/registry/registry_file.h"

#include <algorithm>

#include "platform/system_data_folder.h"

namespace lobby {

namespace {

// The registry's save error for a failed replacement, in the words the operator knows.
RegistrySaveError SaveErrorOf(const FileError& error, const std::string& path)
{
    const std::string detail = " (" + error.Message() + ")";
    if (error.FailedStep() == FileError::Step::kWrite)
        return RegistrySaveError("Stream write error" + detail);
    return RegistrySaveError("Cannot create file " + path + detail);
}

// Hands the snapshot's lines on a megabyte at a time: copied into one buffer first, since a
// million lines given to the system one piece each cost it twice the bytes' own write.
bool WriteLines(FileSink& sink, const RegistrySnapshot& snapshot)
{
    constexpr std::size_t kPiece = 1 << 20;
    constexpr std::size_t kRowGuess = 64; // bytes of a typical line, so a small table asks for little
    std::string piece;
    piece.reserve(std::min(kPiece, snapshot.Rows() * kRowGuess));
    for (std::size_t i = 0; i < snapshot.Rows(); ++i) {
        const std::string_view line = snapshot.Line(i);
        if (piece.size() + line.size() > kPiece) {
            if (!sink.Write(piece))
                return false;
            piece.clear();
        }
        piece += line;
    }
    return sink.Write(piece);
}

template <class Write>
void ReplaceRegistryFile(DataFolder& folder, std::string_view name, Write&& write)
{
    try {
        folder.Replace(name, write);
    } catch (const FileError& error) {
        throw SaveErrorOf(error, folder.PathOf(name));
    }
}

// The folder part of a path, with its "/", and the name after it.
std::pair<std::string, std::string> SplitPath(const std::string& path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return {"./", path};
    return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

} // namespace

std::optional<std::string_view> NextRegistryLine(std::string_view text, std::size_t& pos)
{
    if (pos >= text.size())
        return std::nullopt;
    const std::size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) {
        const std::string_view line = text.substr(pos);
        pos = text.size();
        return line;
    }
    const std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    if (text[end] == '\r' && pos < text.size() && text[pos] == '\n')
        ++pos;
    return line;
}

std::string_view FirstRegistryLine(std::string_view text)
{
    std::size_t pos = 0;
    return NextRegistryLine(text, pos).value_or(std::string_view()).substr(0, kMaxRegistryLineLength);
}

bool ReadsAsRegistryHeader(std::string_view line)
{
    const std::size_t first = line.find(',');
    if (first == std::string_view::npos)
        return false;
    const std::size_t second = line.find(',', first + 1);
    return second != std::string_view::npos && line.substr(first + 1, second - first - 1) == "Nick";
}

RegistryLineCells SplitRegistryLine(std::string_view line)
{
    RegistryLineCells split;
    for (std::string_view& cell : split.cells) {
        const std::size_t comma = line.find(',', split.used);
        if (comma == std::string_view::npos)
            break;
        cell = line.substr(split.used, comma - split.used);
        split.used = comma + 1;
    }
    return split;
}

std::optional<FileText> ReadRegistryFile(DataFolder& folder, std::string_view name)
{
    try {
        return folder.Read(name);
    } catch (const FileError& error) {
        throw RegistryUnreadable("cannot read the registry " + error.Message());
    }
}

void WriteFileReplacing(DataFolder& folder, std::string_view name, std::string_view bytes)
{
    ReplaceRegistryFile(folder, name, [&](FileSink& sink) { return sink.Write(bytes); });
}

void WriteRegistryFile(DataFolder& folder, std::string_view name, const RegistrySnapshot& snapshot)
{
    ReplaceRegistryFile(folder, name, [&](FileSink& sink) { return WriteLines(sink, snapshot); });
}

std::optional<FileText> ReadRegistryFile(const std::string& path)
{
    auto [folder, name] = SplitPath(path);
    SystemDataFolder files(std::move(folder));
    return ReadRegistryFile(files, name);
}

void WriteFileReplacing(const std::string& path, std::string_view bytes)
{
    auto [folder, name] = SplitPath(path);
    SystemDataFolder files(std::move(folder));
    WriteFileReplacing(files, name, bytes);
}

void WriteRegistryFile(const std::string& path, const RegistrySnapshot& snapshot)
{
    auto [folder, name] = SplitPath(path);
    SystemDataFolder files(std::move(folder));
    WriteRegistryFile(files, name, snapshot);
}

std::string RegistryText(const RegistrySnapshot& snapshot, std::vector<std::size_t>* lineStarts)
{
    std::size_t size = 0;
    for (std::size_t i = 0; i < snapshot.Rows(); ++i)
        size += snapshot.Line(i).size();
    std::string text;
    text.reserve(size);
    if (lineStarts) {
        lineStarts->clear();
        lineStarts->reserve(snapshot.Rows());
    }
    for (std::size_t i = 0; i < snapshot.Rows(); ++i) {
        if (lineStarts)
            lineStarts->push_back(text.size());
        text += snapshot.Line(i);
    }
    return text;
}

} // namespace lobby
