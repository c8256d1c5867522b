#include "platform/posix/run_record.h"

#include "platform/posix/ascii.h"
#include "platform/posix/context.h"

#include <optional>

namespace dosprep::posix {

namespace {

struct EditFiles {
    Edit edit;
    const char *batch;
    const char *temp;
};
constexpr EditFiles kEditFiles[] = {{Edit::Autoexec, "autoexec.bat", "autoexec.tmp"},
                                    {Edit::Dosstart, "dosstart.bat", "dosstart.tmp"}};

// The platform layer runs on one thread, as the program does; only the
// cause is per thread, as the last error is.
RunSettings g_settings;
EditRecord g_records[2];
QueryRecord g_queries;
thread_local int g_cause = 0;
thread_local bool g_inScratch = false;

std::string_view WithoutTrailingSeparators(std::string_view path) {
    return path.substr(0, path.find_last_not_of("\\/") + 1);
}

// Whether `directory` names the Windows directory, in its long or its
// short form.
bool IsWindowsDirectory(std::string_view directory) {
    directory = WithoutTrailingSeparators(directory);
    return EqualsIgnoringCase(directory,
                              WithoutTrailingSeparators(RunContext().windowsDirectory)) ||
           (!g_queries.shortWindows.empty() &&
            EqualsIgnoringCase(directory, WithoutTrailingSeparators(g_queries.shortWindows)));
}

// The edit whose batch file or temporary file `dosPath` names, with
// `onBatch` telling which; nullopt for any other path.
std::optional<EditFiles> EditOf(std::string_view dosPath, bool &onBatch) {
    std::size_t nameStart = dosPath.find_last_of("\\/") + 1; // 0 without a separator
    std::string_view name = dosPath.substr(nameStart), directory = dosPath.substr(0, nameStart);
    for (const EditFiles &files : kEditFiles) {
        onBatch = EqualsIgnoringCase(name, files.batch);
        if (!onBatch && !EqualsIgnoringCase(name, files.temp))
            continue;
        bool inPlace = files.edit == Edit::Autoexec
                           ? EqualsIgnoringCase(WithoutTrailingSeparators(directory), "C:")
                           : IsWindowsDirectory(directory);
        return inPlace ? std::optional(files) : std::nullopt;
    }
    return std::nullopt;
}

CallFailure FailureOf(const char *call, std::string_view dosPath) {
    return {call, std::string(dosPath), GetLastError(), g_cause, g_inScratch, false};
}

} // namespace

void Configure(RunSettings settings) {
    g_settings = std::move(settings);
}

const RunSettings &Settings() {
    return g_settings;
}

void BeginCall() noexcept {
    g_cause = 0;
    g_inScratch = false;
}

void NoteCause(int cause) noexcept {
    g_cause = cause;
}

void NoteInScratch() noexcept {
    g_inScratch = true;
}

void RecordFileCall(const char *call, std::string_view dosPath, bool failed) noexcept {
    try {
        bool onBatch = false;
        std::optional<EditFiles> files = EditOf(dosPath, onBatch);
        if (!files)
            return;
        EditRecord &record = g_records[static_cast<int>(files->edit)];
        if (!record.begun) {
            record.begun = true;
            record.batchPath =
                std::string(dosPath.substr(0, dosPath.find_last_of("\\/") + 1)) + files->batch;
        }
        std::string_view name = call;
        DWORD error = GetLastError();
        bool missingBatch = onBatch && name == "CreateFileA" &&
                            (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND);
        if (!failed || record.failure.call != nullptr || name == "DeleteFileA" || missingBatch)
            return;
        record.failure = FailureOf(call, dosPath);
        record.failure.onTemporary = !onBatch;
    } catch (...) {
        // Out of memory: the call goes unrecorded, and the report says less.
    }
}

void RecordCopy(std::string_view target, KeptCopies kept) noexcept {
    try {
        bool onBatch = false;
        std::optional<EditFiles> files = EditOf(target, onBatch);
        if (files && onBatch) {
            EditRecord &record = g_records[static_cast<int>(files->edit)];
            record.copied = true;
            record.kept = std::move(kept);
        }
    } catch (...) {
    }
}

void RecordShortPathQuery(std::string_view longPath, const char *shortPath, DWORD length,
                          DWORD size) noexcept {
    try {
        if (length == 0 && g_queries.failure.call == nullptr)
            g_queries.failure = FailureOf("GetShortPathNameA", longPath);
        g_queries.passedBuffer = g_queries.passedBuffer || (length != 0 && length >= size);
        if (length != 0 && length < size && shortPath != nullptr &&
            EqualsIgnoringCase(longPath, RunContext().windowsDirectory))
            g_queries.shortWindows = shortPath;
    } catch (...) {
    }
}

const EditRecord &RecordOf(Edit edit) {
    return g_records[static_cast<int>(edit)];
}

const QueryRecord &Queries() {
    return g_queries;
}

} // namespace dosprep::posix
