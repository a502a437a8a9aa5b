#include <utility>

#include "platform/exception.h"
#include "server/lobby/form1.h"
#include "server/registry/registry_file.h"

namespace lobby {

// Saves of the registry, and the messages that wait for them.
//
// A score report changes the table at once and asks for a save; the save is written from a
// snapshot away from the loop, so the lobby goes on serving while a million rows reach the
// disk. Reports that arrive meanwhile are covered together by the next save, which starts as
// soon as the one in flight ends: the file is never more than one save behind the table.
// What a player is shown of scores (the ranking, the own score) waits for the save that
// covers it, and so does everything a new nick's first request is answered with, so no crash
// can take back a score anybody saw, nor a nick somebody was welcomed with.

namespace {

std::string MessageOf(const std::exception_ptr& error)
{
    try {
        std::rethrow_exception(error);
    } catch (const Exception& failure) {
        return failure.Message();
    } catch (const std::exception& failure) {
        return failure.what();
    } catch (...) {
        return "Unknown error while saving the registry";
    }
}

} // namespace

void TForm1::SaveRegistry()
{
    // A registry that could not be read is never saved over: the file holds more than we do.
    if (!registryLoaded_)
        throw Exception("The registry " + RegistryPath() + " was not loaded, so it is not saved");
    // A save in flight ends first: the file must not go back to its older picture after this.
    saver_->Finish();
    Memo1.Clear();
    NoteSaveStarted();
    RegistrySnapshot snapshot = Cad.Snapshot();
    RegistrySaveResult result = SaveSnapshot(Files(), kRegistryFileName, snapshot, environment_.keepSavedText);
    snapshot = {};
    Cad.SnapshotReleased();
    NoteSaveEnded(scoreVersion_, result.error);
    if (result.error)
        std::rethrow_exception(result.error);
    if (result.text)
        Memo1.SetText(std::move(*result.text), std::move(result.lineStarts));
    savedVersion_ = scoreVersion_;
}

void TForm1::RequestSave()
{
    EnsureSave();
}

void TForm1::HoldScores()
{
    if (scoreVersion_ <= savedVersion_)
        return;
    holding_ = std::max(holding_.value_or(0), scoreVersion_);
    EnsureSave();
}

// A save covering every score change so far is in flight, or follows the one in flight.
void TForm1::EnsureSave()
{
    if (savingVersion_) {
        if (*savingVersion_ < scoreVersion_)
            saveWanted_ = true;
        return;
    }
    StartSave();
}

void TForm1::StartSave()
{
    if (!registryLoaded_)
        throw Exception("The registry " + RegistryPath() + " was not loaded, so it is not saved");
    const std::uint64_t version = scoreVersion_;
    savingVersion_ = version;
    saveWanted_ = false;
    startingSave_ = true;
    startError_ = nullptr;
    NoteSaveStarted();
    try {
        saver_->Start(Files(), kRegistryFileName, Cad.Snapshot(), environment_.keepSavedText,
                      [this, version](RegistrySaveResult result) {
                          RunHandler([&] { SaveFinished(version, std::move(result)); });
                      });
    } catch (...) {
        startingSave_ = false;
        if (savingVersion_ == version) {
            savingVersion_.reset();
            Cad.SnapshotReleased();
        }
        throw;
    }
    startingSave_ = false;
    // A save that ended inside Start failed in the report that asked for it, which ends there.
    if (startError_)
        std::rethrow_exception(std::exchange(startError_, nullptr));
}

// The end of a save, on the loop's thread. Success releases the messages waiting for it;
// failure is shown at once (never held back with a client's errors), the file stays as it
// was, and the messages that waited for it are not sent, since their scores are not on disk.
// The table is untouched either way, and a save wanted meanwhile starts now.
void TForm1::SaveFinished(std::uint64_t version, RegistrySaveResult result)
{
    savingVersion_.reset();
    Cad.SnapshotReleased();
    if (result.error) {
        DropHeld(version);
        if (startingSave_)
            startError_ = result.error;
        else
            ShowError(MessageOf(result.error));
    } else {
        savedVersion_ = std::max(savedVersion_, version);
        if (result.text)
            Memo1.SetText(std::move(*result.text), std::move(result.lineStarts));
        ReleaseHeld();
    }
    NoteSaveEnded(version, result.error);
    if (saveWanted_ && scoreVersion_ > savedVersion_)
        StartSave();
}

void TForm1::ReleaseHeld()
{
    OutputScope scope(*this, true);
    std::optional<OutgoingMessage> outgoing;
    const std::string* text = nullptr;
    while (!held_.empty() && held_.front().version <= savedVersion_) {
        const HeldMessage message = std::move(held_.front());
        held_.pop_front();
        // A broadcast's recipients share one text, and with it one copy in the outbox.
        if (text != message.text.get()) {
            text = message.text.get();
            outgoing.emplace(*message.text);
            outgoing->held = message.text;
            outgoing->admitted = true;
        }
        Deliver(message.address, *outgoing);
    }
}

void TForm1::DropHeld(std::uint64_t version)
{
    while (!held_.empty() && held_.front().version <= version)
        held_.pop_front();
}

void TForm1::FinishSaves()
{
    // Scores change no more, so a save started here covers every message still waiting; the
    // passes are bounded all the same.
    for (int pass = 0; pass < 3; ++pass) {
        saver_->Finish(); // may start the save that was wanted meanwhile
        if (savingVersion_)
            continue;
        if (held_.empty() || !registryLoaded_)
            return;
        try {
            EnsureSave();
        } catch (...) {
            held_.clear();
            throw;
        }
    }
}

} // namespace lobby
