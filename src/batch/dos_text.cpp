#include "batch/dos_text.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

constexpr char kCtrlZ = '\x1A';

// Words of the machine's own size: a register holds one on every target.
using Word = std::size_t;
constexpr Word kEveryByte = ~Word{0} / 0xFF;
constexpr Word kHighBits = kEveryByte * 0x80;

// Nonzero when some byte of `word` equals `byte`.
constexpr Word HasByte(Word word, unsigned char byte) {
    Word diff = word ^ (kEveryByte * byte);
    return (diff - kEveryByte) & ~diff & kHighBits;
}

constexpr bool IsOrdinary(char c) {
    return c != '\n' && c != '\r' && c != kCtrlZ;
}

// Length of the run of ordinary characters at the start of `text`: those
// that neither end a line nor the text, nor need the next byte judged.
// Whole words are skipped while they hold no LF, CR or Ctrl-Z.
std::size_t OrdinaryRun(const char *text, std::size_t length) {
    std::size_t run = 0;
    for (; length - run >= sizeof(Word); run += sizeof(Word)) {
        Word word = 0;
        std::memcpy(&word, text + run, sizeof word);
        if (HasByte(word, '\n') | HasByte(word, '\r') | HasByte(word, kCtrlZ))
            break;
    }
    while (run < length && IsOrdinary(text[run]))
        ++run;
    return run;
}

// Makes at least two unread bytes available, unless the file ends first:
// a CR can only be judged by the byte after it.
bool FillLookahead(DosTextReader &reader) {
    while (!reader.endOfFile && reader.length - reader.position < 2) {
        std::size_t unread = reader.length - reader.position;
        std::memmove(reader.buffer, reader.buffer + reader.position, unread);
        reader.bufferOffset += reader.position;
        reader.position = 0;
        reader.length = unread;
        DWORD got = 0;
        auto room = static_cast<DWORD>(kDosTextBufferSize - reader.length);
        if (!ReadFile(reader.file, reader.buffer + reader.length, room, &got, nullptr))
            return false;
        if (got == 0)
            reader.endOfFile = true;
        reader.length += got;
    }
    return true;
}

void AppendBytes(DosTextWriter &writer, std::string_view bytes) {
    while (!bytes.empty()) {
        if (writer.length == kDosTextBufferSize && !FlushText(writer))
            return;
        std::size_t count = std::min(bytes.size(), kDosTextBufferSize - writer.length);
        std::memcpy(writer.buffer + writer.length, bytes.data(), count);
        writer.length += count;
        bytes.remove_prefix(count);
    }
}

} // namespace

void StartReading(DosTextReader &reader, HANDLE file) {
    reader.file = file;
    reader.position = reader.length = 0;
    reader.bufferOffset = 0;
    reader.endOfFile = reader.endOfText = false;
    reader.pieceLength = 0;
}

ReadStatus ReadPiece(DosTextReader &reader) {
    std::size_t stored = 0;
    while (stored < kPieceCapacity && !reader.endOfText) {
        if (reader.length - reader.position < 2 && !FillLookahead(reader))
            return ReadStatus::Error;
        if (reader.position == reader.length)
            break;
        const char *next = reader.buffer + reader.position;
        std::size_t run =
            OrdinaryRun(next, std::min(kPieceCapacity - stored, reader.length - reader.position));
        std::memcpy(reader.piece + stored, next, run);
        stored += run;
        reader.position += run;
        if (stored == kPieceCapacity || reader.position == reader.length)
            continue;
        char c = reader.buffer[reader.position];
        if (c == kCtrlZ) {
            reader.endOfText = true;
            break;
        }
        bool lastBuffered = reader.position + 1 == reader.length;
        if (c == '\r' && lastBuffered && !reader.endOfFile)
            continue; // the byte after the CR is not read yet
        bool crlf = c == '\r' && !lastBuffered && reader.buffer[reader.position + 1] == '\n';
        reader.position += crlf ? 2 : 1;
        c = crlf ? '\n' : c;
        reader.piece[stored++] = c;
        if (c == '\n')
            break;
    }
    if (stored == 0)
        return ReadStatus::End;
    reader.pieceLength = stored;
    return ReadStatus::Piece;
}

bool SeekText(DosTextReader &reader, std::uint64_t offset) {
    LONG high = static_cast<LONG>(offset >> 32);
    SetLastError(NO_ERROR); // a valid position may look like the failure value
    DWORD low =
        SetFilePointer(reader.file, static_cast<LONG>(offset & 0xFFFFFFFFu), &high, FILE_BEGIN);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR)
        return false;
    reader.bufferOffset = offset;
    reader.position = reader.length = 0;
    reader.endOfFile = reader.endOfText = false;
    return true;
}

void StartWriting(DosTextWriter &writer, HANDLE file) {
    writer.file = file;
    writer.length = 0;
    writer.failed = false;
}

void WriteText(DosTextWriter &writer, std::string_view text) {
    while (!text.empty()) {
        const void *lineEnd = std::memchr(text.data(), '\n', text.size());
        if (lineEnd == nullptr) {
            AppendBytes(writer, text);
            return;
        }
        auto length = static_cast<std::size_t>(static_cast<const char *>(lineEnd) - text.data());
        AppendBytes(writer, {text.data(), length});
        AppendBytes(writer, "\r\n");
        text.remove_prefix(length + 1);
    }
}

bool FlushText(DosTextWriter &writer) {
    if (!writer.failed && writer.length > 0) {
        DWORD written = 0;
        writer.failed = !WriteFile(writer.file, writer.buffer, static_cast<DWORD>(writer.length),
                                   &written, nullptr) ||
                        written != writer.length;
    }
    writer.length = 0;
    return !writer.failed;
}
