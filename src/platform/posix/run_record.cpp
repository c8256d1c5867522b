#include "platform/posix/run_record.h"

#include "platform/posix/ascii.h"
#include "platform/posix/context.h"
#include "platform/posix/dos_path.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <mutex>

namespace dosprep::posix {

namespace {

// The program runs on one thread; the lock keeps the record whole should
// a caller use the calls from several.
std::mutex g_recordMutex;
std::vector<FileEvent> g_events;
RunSettings g_settings;
thread_local int g_cause = 0;

// Far more than one run makes (a failed call ends its edit): a bound all
// the same, whatever a caller does.
constexpr std::size_t kMaxEvents = 256;

void Append(FileEvent event) noexcept {
    try {
        std::lock_guard<std::mutex> lock(g_recordMutex);
        if (g_events.size() < kMaxEvents)
            g_events.push_back(std::move(event));
    } catch (...) {
        // Out of memory: the event is lost, and the report says less.
    }
}

std::string RealDirectory(const std::string &directory) {
    std::unique_ptr<char, decltype(&std::free)> real(realpath(directory.c_str(), nullptr),
                                                     &std::free);
    return real ? std::string(real.get()) : directory;
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

void BeginCall() noexcept {
    g_cause = 0;
}

void RecordFailure(const char *call, std::string_view dosPath) noexcept {
    DWORD error = GetLastError();
    int cause = g_cause;
    try {
        FileEvent event;
        event.call = call;
        event.dosPath = dosPath;
        event.error = error;
        event.cause = cause;
        Append(std::move(event));
    } catch (...) {
    }
}

void RecordSuccess(FileEvent event) noexcept {
    event.error = NO_ERROR;
    Append(std::move(event));
}

const std::vector<FileEvent> &RunEvents() {
    return g_events;
}

DriveCLocation LocateDriveC() {
    const Context &context = RunContext();
    return {context.drive.directory, context.drive.root.Get() < 0 ? context.driveError : 0};
}

std::string HostPathOf(std::string_view dosPath) {
    DosPath path;
    if (ParseDosPath(dosPath, path) != NO_ERROR || path.drive != 'C')
        return {};
    const DriveC &drive = RunContext().drive;
    if (drive.directory.empty())
        return {};
    std::string host = RealDirectory(drive.directory);
    // "C:\A\b": the names never hold a backslash.
    std::string spelt = SpellDosPath(drive, path).substr(3);
    std::size_t position = 0;
    while (position < spelt.size()) {
        std::size_t end = std::min(spelt.find('\\', position), spelt.size());
        host = JoinHostPath(host, std::string_view(spelt).substr(position, end - position));
        position = end + 1;
    }
    return host;
}

} // namespace dosprep::posix
