#include "server/lobby/admission.h"

#include "platform/exception.h"
#include "platform/file_bytes.h"

namespace lobby {

namespace {

// A nick or password holding one of these bytes could not be written to the registry file
// and read back as the same cells (the file's lines have no quoting).
bool StorableInRegistry(std::string_view text)
{
    return text.find_first_of(std::string_view(",\r\n\0", 4)) == std::string_view::npos;
}

} // namespace

Admission::Admission(const Registry& table, ErrorBox& errors, LobbyStatus& status, HandlerClock& clock,
                     FloodLimits limits, std::int32_t capacity, std::string bansPath)
    : table_(table), errors_(errors), status_(status), clock_(clock), guard_(limits), capacity_(capacity),
      bansPath_(std::move(bansPath))
{
}

// A ban drops the request before anything else looks at it. Over its source's limits a
// request is dropped unseen too, neither logged nor answered: a flood then costs the disk and
// the network nothing, not even a look at the table. Nothing between the lookup of the nick
// and the login changes the table.
Admission::Verdict Admission::Admit(const RequestSource& source, const std::optional<RequestFields>& request,
                                    std::string_view bytes, int& nickRow)
{
    if (RefusedByBan(source.address, request))
        return Verdict::kDrop;
    const std::int64_t now = clock_.Start();
    if (!guard_.AdmitRequest(source.key, now)) {
        status_.CountDropped();
        return Verdict::kDrop;
    }
    nickRow = request ? table_.NickRow(request->nick) : 0;
    if (!request || nickRow != 0)
        return Verdict::kServe;
    if (!AdmitRegistration(source, *request, now)) {
        status_.CountDropped();
        return Verdict::kDrop;
    }
    return AdmitNewNick(source, *request, bytes, now);
}

// An empty nick names nobody (a row with one, from an old file, still logs in).
bool Admission::Registrable(const RequestFields& request)
{
    return !request.nick.empty() && StorableInRegistry(request.nick) && StorableInRegistry(request.password);
}

bool Admission::WouldRegister(const RequestFields& request) const
{
    return Registrable(request) && !RegistryFull();
}

bool Admission::RegistryFull() const
{
    return capacity_ > 0 && table_.RowCount() - 1 >= capacity_;
}

void Admission::ReportRegistryFullOnce()
{
    if (capacityReported_)
        return;
    capacityReported_ = true;
    errors_.ShowError("The registry is full (" + std::to_string(capacity_) +
                      " players): new nicks are refused until the server is restarted with a larger --capacity");
}

void Admission::LoadBans()
{
    const std::optional<std::string> text = ReadWholeFile(bansPath_);
    if (!text)
        return;
    try {
        bans_.Load(*text);
    } catch (const Exception& error) {
        throw Exception(bansPath_ + ": " + error.Message());
    }
}

void Admission::SetLimits(const FloodLimits& limits, std::int32_t capacity)
{
    guard_.SetLimits(limits);
    capacity_ = capacity;
    capacityReported_ = false;
}

void Admission::ReportFloods()
{
    if (const auto summary = guard_.TakeSummary(clock_.Now()))
        errors_.ShowNotice(*summary);
}

bool Admission::RefusedByBan(std::string_view address, const std::optional<RequestFields>& request)
{
    if (!bans_.Refuses(address, request))
        return false;
    ++status_.Counters().banned;
    status_.CountDropped();
    return true;
}

// A request that would register a new nick takes one from its source's registration
// allowance. One refused anyway (a nick that cannot be stored, a full registry) registers
// nobody, so it takes nothing.
bool Admission::AdmitRegistration(const RequestSource& source, const RequestFields& request, std::int64_t nowMs)
{
    if (guard_.Limits().registrationsPerHour == 0 || !WouldRegister(request))
        return true;
    return guard_.AdmitRegistration(source.key, nowMs);
}

// A new nick beyond the lobby's allowance waits its turn, unless the wait is full of requests
// to be served before it; then it is dropped, as the last of them would be to make room for it
// otherwise. While some wait, a new one waits too, so that it cannot pass those before it.
Admission::Verdict Admission::AdmitNewNick(const RequestSource& source, const RequestFields& request,
                                           std::string_view bytes, std::int64_t nowMs)
{
    if (!WouldRegister(request))
        return Verdict::kServe; // refused anyway: it registers nobody
    if (waiting_.Empty() && guard_.AdmitLobbyRegistration(nowMs))
        return Verdict::kServe;
    const std::optional<AddressKey> dropped =
        waiting_.Add(std::string(bytes), std::string(source.address), source.key,
                     guard_.RegistrationsLeft(source.key, nowMs), nowMs, guard_.Limits().lobbyRegistrationsPerSecond);
    if (dropped) {
        guard_.CountRegistrationNotServed(*dropped);
        status_.CountDropped();
    }
    return Verdict::kWait;
}

} // namespace lobby
