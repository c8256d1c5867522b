// GetProfileStringA: one value from WIN.INI, read the way Windows reads it,
// or on a Wine prefix from the registry where Wine maps it there.
//
// The file is streamed: whatever it holds, memory stays within one read
// chunk plus the part of a value that the caller's buffer can take.
#include "platform/posix/dos_path.h"
#include "platform/posix/ini_mapping.h"
#include "platform/win32_api.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>

#include <unistd.h>

namespace dosprep::posix {

namespace {

// Blanks around names and values. ^Z is there for files last saved by
// DOS editors, which end them with one.
bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\x1A';
}

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

// A name or a value as it streams past: leading blanks skipped, trailing
// ones trimmed, at most `limit` bytes kept, and ended by a NUL byte as the
// C string it is read into would be.
class Field {
  public:
    void Reset(std::size_t limit) {
        kept_.clear();
        limit_ = limit;
        length_ = trimmed_ = 0;
        first_ = last_ = '\0';
        ended_ = false;
    }

    void Add(char c) {
        if (ended_)
            return;
        if (c == '\0') {
            ended_ = true;
            return;
        }
        if (length_ == 0 && IsBlank(c))
            return;
        if (kept_.size() < limit_)
            kept_ += c;
        if (length_ == 0)
            first_ = c;
        ++length_;
        if (!IsBlank(c)) {
            trimmed_ = length_;
            last_ = c;
        }
    }

    // Length without trailing blanks, including what was not kept.
    std::size_t Length() const { return trimmed_; }
    char First() const { return first_; }
    char Last() const { return last_; }
    std::string_view Kept() const {
        return std::string_view(kept_).substr(0, std::min(trimmed_, kept_.size()));
    }

    // Whether the first `length` bytes (trimmed) spell `name`, case aside.
    bool Matches(std::string_view name, std::size_t length) const {
        return length == name.size() && kept_.size() >= length &&
               EqualsIgnoringCase(std::string_view(kept_).substr(0, length), name);
    }
    bool Matches(std::string_view name) const { return Matches(name, trimmed_); }

  private:
    std::string kept_;
    std::size_t limit_ = 0;
    std::size_t length_ = 0;
    std::size_t trimmed_ = 0;
    char first_ = '\0';
    char last_ = '\0';
    bool ended_ = false;
};

// Looks for `key` in the first section named `section`. Only that first
// section counts, as with Windows: a later one of the same name is not
// consulted.
class ProfileSearch {
  public:
    ProfileSearch(std::string_view section, std::string_view key, std::size_t valueLimit)
        : section_(section), key_(key), valueLimit_(valueLimit) {}

    // Takes the next bytes of the file; true once the answer is known.
    bool Feed(std::string_view bytes) {
        for (char c : bytes) {
            if (c == '\n' || c == '\r') {
                EndLine();
                if (done_)
                    return true;
            } else {
                Take(c);
            }
        }
        return false;
    }

    // The file ended: its last line may have had no line end.
    void Finish() {
        if (!done_)
            EndLine();
    }

    // The value found, quotes taken off; nullopt for a missing section or
    // key, or a key line without '='.
    const std::optional<std::string> &Value() const { return value_; }

  private:
    enum class State { LineStart, Skip, Section, KeyName, Value };

    void Take(char c) {
        switch (state_) {
        case State::LineStart:
            if (IsBlank(c))
                break;
            if (c == '[') {
                state_ = State::Section;
                field_.Reset(section_.size());
                closed_ = false;
            } else if (c == ';' || !inSection_) {
                state_ = State::Skip; // a comment, or a key of another section
            } else {
                state_ = State::KeyName;
                field_.Reset(key_.size());
                field_.Add(c);
            }
            break;
        case State::Skip:
            break;
        case State::Section:
            // The name runs to the last ']' of the line.
            if (c == ']') {
                closed_ = true;
                nameLength_ = field_.Length();
            }
            field_.Add(c);
            break;
        case State::KeyName:
            if (c == '=') {
                state_ = State::Skip;
                if (field_.Matches(key_)) {
                    state_ = State::Value;
                    field_.Reset(valueLimit_);
                }
            } else {
                field_.Add(c);
            }
            break;
        case State::Value:
            field_.Add(c);
            break;
        }
    }

    void EndLine() {
        switch (state_) {
        case State::Section:
            // Without ']' it is no section header; Windows takes it for a
            // key, which a key name cannot match.
            if (closed_) {
                if (inSection_)
                    done_ = true; // the first section of that name ended
                else
                    inSection_ = field_.Matches(section_, nameLength_);
            }
            break;
        case State::KeyName:
            // The key without '=': it is found, and it has no value.
            done_ = field_.Matches(key_);
            break;
        case State::Value:
            done_ = true;
            value_ = std::string(Unquoted());
            break;
        case State::LineStart:
        case State::Skip:
            break;
        }
        state_ = State::LineStart;
    }

    // A value wholly inside one pair of matching quotes loses them.
    std::string_view Unquoted() const {
        std::string_view kept = field_.Kept();
        char quote = field_.First();
        if (field_.Length() >= 2 && (quote == '"' || quote == '\'') && field_.Last() == quote)
            return kept.substr(1, field_.Length() - 2);
        return kept;
    }

    std::string_view section_;
    std::string_view key_;
    std::size_t valueLimit_;
    State state_ = State::LineStart;
    Field field_;
    bool closed_ = false;
    std::size_t nameLength_ = 0;
    bool inSection_ = false;
    bool done_ = false;
    std::optional<std::string> value_;
};

// Opens WIN.INI of the Windows directory; -1 when there is no such
// regular file.
int OpenWinIni() {
    std::string path = WindowsDirectory();
    if (path.back() != '\\')
        path += '\\';
    path += "win.ini";
    ResolvedPath resolved;
    if (ResolveDosPath(path, resolved) != NO_ERROR || !resolved.exists)
        return -1;
    struct stat info {};
    DWORD error = NO_ERROR;
    return OpenRegularForReading(resolved, info, error);
}

std::optional<std::string> FindValue(std::string_view section, std::string_view key,
                                     std::size_t valueLimit) {
    FileDescriptor fd(OpenWinIni());
    if (fd.Get() < 0)
        return std::nullopt;
    constexpr std::size_t kChunk = 64 * 1024;
    auto chunk = std::make_unique<char[]>(kChunk);
    ProfileSearch search(section, key, valueLimit);
    bool first = true;
    for (;;) {
        ssize_t got = ReadRetrying(fd.Get(), chunk.get(), kChunk);
        if (got < 0)
            return std::nullopt;
        if (got == 0)
            break;
        std::string_view bytes(chunk.get(), static_cast<std::size_t>(got));
        if (first && bytes.substr(0, 3) == "\xEF\xBB\xBF")
            bytes.remove_prefix(3); // UTF-8 byte-order mark
        first = false;
        if (search.Feed(bytes))
            return search.Value();
    }
    search.Finish();
    return search.Value();
}

// What the registry of drive C's Wine prefix says, if drive C has one.
MappedValue FindMappedValue(std::string_view section, std::string_view key, std::size_t limit) {
    DriveC drive;
    if (!OpenDriveC(drive))
        return {};
    FileDescriptor prefix(OpenWinePrefix(drive));
    if (prefix.Get() < 0)
        return {};
    return LookUpMappedValue(prefix.Get(), section, key, limit);
}

DWORD CopyTruncated(std::string_view text, char *buffer, DWORD size) {
    std::size_t count = std::min(text.size(), std::size_t{size} - 1);
    if (count != 0) // an absent default has no data at all
        std::memmove(buffer, text.data(), count);
    buffer[count] = '\0';
    return static_cast<DWORD>(count);
}

} // namespace

} // namespace dosprep::posix

using namespace dosprep::posix;

DWORD WINAPI GetProfileStringA(LPCSTR section, LPCSTR key, LPCSTR defaultValue, LPSTR buffer,
                               DWORD size) {
    if (buffer == nullptr || size == 0)
        return 0;
    // Read no further into the default than can be copied.
    std::string_view fallback;
    if (defaultValue != nullptr)
        fallback = std::string_view(defaultValue, strnlen(defaultValue, std::size_t{size} - 1));
    try {
        std::string_view sectionName = section != nullptr ? TrimBlanks(section) : "";
        std::string_view keyName = key != nullptr ? TrimBlanks(key) : "";
        if (!sectionName.empty() && !keyName.empty()) {
            // Wine looks the names up as they are given; a value found
            // there counts even when it is empty.
            MappedValue mapped = FindMappedValue(section, key, size);
            std::optional<std::string> value =
                mapped.mapped ? mapped.value : FindValue(sectionName, keyName, size);
            if (value && (mapped.mapped || !value->empty())) {
                SetLastError(NO_ERROR);
                return CopyTruncated(*value, buffer, size);
            }
        }
        SetLastError(ERROR_FILE_NOT_FOUND);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return CopyTruncated(fallback, buffer, size);
}
