// The Windows implementations of platform/'s interfaces, under Wine.
#include <filesystem>
#include <optional>
#include <thread>

#include <gtest/gtest.h>
#include <winsock2.h>
#include <aclapi.h>
#include <sddl.h>

#include "net/host_lookup.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/foreign_hold.h"
#include "platform/monotonic_clock.h"
#include "platform/system_data_folder.h"
#include "platform/win32/owner_only.h"
#include "platform/win32/windows_error.h"
#include "platform/win32/windows_reason.h"
#include "platform/worker_thread.h"
#include "server/registry/journal_file.h"

using namespace lobby;

namespace {

TEST(WindowsReason, GivesTheLobbysKindsAndNumbers)
{
    using Kind = SystemReason::Kind;
    struct Case {
        DWORD code;
        Kind kind;
        int inOutCode;
    };
    for (const Case& c : {Case{ERROR_FILE_NOT_FOUND, Kind::kNotFound, 2}, Case{ERROR_PATH_NOT_FOUND, Kind::kNotFound, 3},
                          Case{ERROR_ACCESS_DENIED, Kind::kOther, 5}, Case{ERROR_SHARING_VIOLATION, Kind::kHeldByAnother, 32},
                          Case{ERROR_FILE_EXISTS, Kind::kAlreadyExists, 1080}, Case{ERROR_DISK_FULL, Kind::kOther, 101}}) {
        const SystemReason reason = win32::ReasonFromWindows(c.code);
        EXPECT_EQ(reason.kind, c.kind) << c.code;
        EXPECT_EQ(reason.inOutCode, c.inOutCode) << c.code;
        EXPECT_FALSE(reason.text.empty()) << c.code;
    }
    EXPECT_FALSE(win32::ReasonFromWindows(ERROR_SUCCESS).Failed());
}

TEST(WindowsResolver, ReadsADottedAddressOnAWorkerWithSocketsOfItsOwn)
{
    // On a thread of its own, as the lookup's worker runs it: nothing else has started Windows
    // Sockets for it. Dotted addresses only, so that no name server is asked.
    std::optional<std::uint32_t> found;
    std::thread worker([&] { found = ResolveHostName("127.1.2.3"); });
    worker.join();
    ASSERT_TRUE(found);
    EXPECT_EQ(*found, htonl(0x7F010203u));
}

TEST(WindowsTime, LocalTimeAtAMomentAndTheClocks)
{
    // 1971-07-01 12:00 UTC, a Thursday: July 1st or 2nd in every zone.
    const std::optional<LocalDateTime> moment = LocalTimeAt(47217600);
    ASSERT_TRUE(moment);
    EXPECT_EQ(moment->year, 1971);
    EXPECT_EQ(moment->month, 7);
    EXPECT_EQ(moment->weekday, (moment->day - 1 + 4) % 7);
    EXPECT_FALSE(LocalTimeAt(INT64_MAX));
    EXPECT_GE(SystemClock().Now().year, 2024);

    const SystemMonotonicClock monotonic;
    const std::int64_t before = monotonic.NowMs();
    EXPECT_GE(monotonic.NowMs(), before);
    EXPECT_GE(ThisThreadCpuNanoseconds(), 0);
}

TEST(WindowsFiles, WriteReadLockRenameListAndRemoveAsTheKeeperDoes)
{
    namespace fs = std::filesystem;
    const fs::path folderPath = fs::temp_directory_path() / ("lobby-files-" + std::to_string(::GetCurrentProcessId()));
    fs::create_directories(folderPath);
    const std::string folder = folderPath.string() + "\\";
    const std::string plain = folder + "07-12-2026.log";

    lobby::OpenFile written = CreateAfresh(plain);
    written.WriteAll(reinterpret_cast<const unsigned char*>("hello"), 5);
    written.Sync();
    written.TakePermissionsAndTimesOf(FileStatus{.modifiedSeconds = 1700000000, .accessedSeconds = 1700000000});
    written.Close();

    std::optional<lobby::OpenFile> reader = OpenToRead(plain);
    ASSERT_TRUE(reader);
    unsigned char bytes[8] = {};
    EXPECT_EQ(reader->ReadAt(bytes, sizeof bytes, 1), 4u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), 4), "ello");
    EXPECT_EQ(reader->ReadAt(bytes, sizeof bytes, 5), 0u);
    const FileStatus status = reader->Status();
    EXPECT_TRUE(status.regular);
    EXPECT_EQ(status.size, 5u);
    EXPECT_EQ(status.modifiedSeconds, 1700000000);
    EXPECT_TRUE(StatusOf(plain)->SameFileAs(status));
    EXPECT_FALSE(StatusOf(folder)->regular);

    EXPECT_FALSE(reader->TryLockExclusive().Failed());
    std::optional<lobby::OpenFile> other = OpenToRead(plain);
    EXPECT_EQ(other->TryLockExclusive().kind, SystemReason::Kind::kHeldByAnother);
    EXPECT_EQ(win32::ReasonFromWindows(ERROR_LOCK_VIOLATION).inOutCode, 32);

    // The keeper removes a plain day it still holds open, then the names are synced.
    EXPECT_FALSE(RemoveFile(plain).Failed());
    OpenFolder(folder).Sync();
    reader.reset();
    other.reset();
    EXPECT_EQ(RemoveFile(plain).kind, SystemReason::Kind::kNotFound);
    EXPECT_FALSE(OpenToRead(plain));
    EXPECT_FALSE(StatusOf(plain));

    CreateAfresh(folder + "a.tmp").Close();
    CreateAfresh(folder + "b").Close();
    RenameFile(folder + "a.tmp", folder + "b");
    EXPECT_EQ(ListFolder(folder), std::vector<std::string>{"b"});
    EXPECT_THROW(ListFolder(folder + "missing"), SystemError);
    fs::remove_all(folderPath);
}

TEST(WindowsDataFolder, ReplacesWholeOrNotAtAllAppendsLockedAndPreparesTheFolder)
{
    namespace fs = std::filesystem;
    const fs::path top = fs::temp_directory_path() / ("lobby-data-" + std::to_string(::GetCurrentProcessId()));
    const std::string path = (top / "a" / "b").string() + "\\";
    PrepareDataFolder(path);
    SystemDataFolder folder(path);
    const auto writing = [](std::string_view bytes, bool ok) {
        return [=](FileSink& sink) { return sink.Write(bytes) && ok; };
    };

    folder.Replace("cadastro.txt", writing(",Nick,Senha,Ip,Pontos,\r\n", true));
    try {
        folder.Replace("cadastro.txt", writing("half", false));
        ADD_FAILURE() << "a failed writer must raise";
    } catch (const FileError& error) {
        EXPECT_EQ(error.FailedStep(), FileError::Step::kWrite);
    }
    EXPECT_EQ(folder.Read("cadastro.txt")->View(), ",Nick,Senha,Ip,Pontos,\r\n");
    EXPECT_FALSE(fs::exists(path + "cadastro.txt.tmp"));
    EXPECT_FALSE(folder.Read("missing.txt"));
    try {
        folder.Copy("missing.txt", "cadastro.txt");
        ADD_FAILURE() << "a copy over a file must raise";
    } catch (const FileError& error) {
        EXPECT_EQ(error.Kind(), SystemReason::Kind::kAlreadyExists);
    }

    std::unique_ptr<AppendFile> log = folder.OpenForAppending("07-12-2026.log");
    SystemReason failure;
    EXPECT_EQ(log->Write("line one\r\nline two\r\n", failure), 20u);
    EXPECT_TRUE(log->TakeBack(10));
    EXPECT_EQ(log->Tail(5), "one\r\n");
    EXPECT_FALSE(log->Sync().Failed()) << "the journal's groups are flushed this way";
    try {
        folder.OpenForAppending("07-12-2026.log");
        ADD_FAILURE() << "a second writer must be refused";
    } catch (const FileError& error) {
        EXPECT_EQ(error.Kind(), SystemReason::Kind::kHeldByAnother);
    }
    EXPECT_FALSE(log->Close().Failed());

    EXPECT_THROW(PrepareDataFolder(path + "cadastro.txt"), Exception);

    // The owner's only, as the lobby's files are on Linux: the user and the system and nobody
    // else, and what the data folder holds takes the same. (Wine keeps the list as the file's
    // Unix mode, so it gives back neither the order nor the mark that nothing is inherited.)
    const std::wstring user = win32::OwnerOnly::UserSid();
    for (const auto& [made, flags] : {std::pair{path + "cadastro.txt", L""}, std::pair{path + "07-12-2026.log", L""},
                                      std::pair{path, L"OICI"}}) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        wchar_t* text = nullptr;
        ASSERT_EQ(::GetNamedSecurityInfoW(win32::Widen(made, CP_UTF8).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                          nullptr, nullptr, nullptr, nullptr, &descriptor), 0u);
        ASSERT_TRUE(::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                                           DACL_SECURITY_INFORMATION, &text, nullptr));
        std::wstring list = text;
        ::LocalFree(text);
        ::LocalFree(descriptor);
        for (const std::wstring& ace : {L"(A;" + std::wstring(flags) + L";FA;;;" + user + L")",
                                        L"(A;" + std::wstring(flags) + L";FA;;;SY)"}) {
            const std::size_t at = list.find(ace);
            ASSERT_NE(at, std::wstring::npos) << made << " lacks " << win32::Narrow(ace, CP_UTF8);
            list.erase(at, ace.size());
        }
        EXPECT_TRUE(list == L"D:" || list == L"D:P") << made << " lets in more: " << win32::Narrow(list, CP_UTF8);
    }

    // The folder the lobby made is its own alone. (Wine reads an access list back from the
    // Unix mode, so a folder open to everybody cannot be made here to see it refused.)
    EXPECT_NO_THROW(RefuseForeignDataFolder(path));
    fs::remove_all(top);
}

// The registry's journal on Windows: a restart replaces the file it holds open for appending
// (closed first, since Windows refuses to replace an open file), and appends go on into the
// new one, holding only what came after the checkpoint.
TEST(WindowsDataFolder, TheJournalRestartsOverTheFileItAppendsTo)
{
    namespace fs = std::filesystem;
    const fs::path top = fs::temp_directory_path() / ("lobby-journal-" + std::to_string(::GetCurrentProcessId()));
    const std::string path = top.string() + "\\";
    PrepareDataFolder(path);
    {
        SystemDataFolder folder(path);
        JournalFile journal(folder, "cadastro.journal");
        journal.Open(IdentityOf("old"), 0, {}, false);
        const auto score = [](std::uint64_t seq) {
            return std::vector<EncodedRecord>{{seq, EncodeRecord({seq, JournalRecord::Kind::kScore, {"ana", std::to_string(seq)}})}};
        };
        journal.Append(score(1));
        journal.Checkpoint(IdentityOf("new"), 1);
        journal.Append(score(2));
        journal.Restart();
        EXPECT_FALSE(journal.TakeRestartError());
        journal.Append(score(3));
    }
    std::optional<FileText> bytes = SystemDataFolder(path).Read("cadastro.journal");
    ASSERT_TRUE(bytes);
    const ParsedJournal parsed = ParseJournal(bytes->View());
    EXPECT_EQ(parsed.extends, IdentityOf("new"));
    ASSERT_EQ(parsed.records.size(), 2u);
    EXPECT_EQ(parsed.records[0].seq, 2u);
    EXPECT_EQ(parsed.records[1].seq, 3u);
    EXPECT_FALSE(fs::exists(top / "cadastro.journal.tmp"));
    fs::remove_all(top);
}

} // namespace
