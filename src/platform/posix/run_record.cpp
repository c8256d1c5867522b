#include "platform/posix/run_record.h"

namespace dosprep::posix {

namespace {

// The platform layer runs on one thread, as the program does; only the
// cause is per thread, as the last error is.
std::vector<FileEvent> g_events;
RunSettings g_settings;
thread_local int g_cause = 0;
thread_local bool g_inScratch = false;

// Far more than one run makes (a failed call ends its edit): a bound all
// the same, whatever a caller does.
constexpr std::size_t kMaxEvents = 256;

void Append(FileEvent event) noexcept {
    try {
        if (g_events.size() < kMaxEvents)
            g_events.push_back(std::move(event));
    } catch (...) {
        // Out of memory: the event is lost, and the report says less.
    }
}

} // namespace

void Configure(RunSettings settings) {
    g_settings = std::move(settings);
}

const RunSettings &Settings() {
    return g_settings;
}

void NoteCause(int cause) noexcept {
    g_cause = cause;
}

void NoteInScratch() noexcept {
    g_inScratch = true;
}

void BeginCall() noexcept {
    g_cause = 0;
    g_inScratch = false;
}

void RecordFailure(const char *call, std::string_view dosPath) noexcept {
    FileEvent event;
    event.call = call;
    event.error = GetLastError();
    event.cause = g_cause;
    event.inScratch = g_inScratch;
    try {
        event.dosPath = dosPath;
    } catch (...) {
        return; // out of memory: the event is lost, as in Append
    }
    Append(std::move(event));
}

void RecordSuccess(FileEvent event) noexcept {
    event.error = NO_ERROR;
    Append(std::move(event));
}

const std::vector<FileEvent> &RunEvents() {
    return g_events;
}

} // namespace dosprep::posix
