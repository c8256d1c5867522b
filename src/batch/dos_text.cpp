#include "batch/dos_text.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

constexpr std::size_t kIoBufferSize = 64 * 1024;
constexpr char kCtrlZ = '\x1A';

constexpr std::uint64_t kEveryByte = 0x0101010101010101u;
constexpr std::uint64_t kHighBits = 0x8080808080808080u;

// Nonzero when some byte of `word` equals `byte`.
constexpr std::uint64_t HasByte(std::uint64_t word, unsigned char byte) {
    std::uint64_t diff = word ^ (kEveryByte * byte);
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
    for (; length - run >= sizeof(std::uint64_t); run += sizeof(std::uint64_t)) {
        std::uint64_t word = 0;
        std::memcpy(&word, text + run, sizeof word);
        if (HasByte(word, '\n') | HasByte(word, '\r') | HasByte(word, kCtrlZ))
            break;
    }
    while (run < length && IsOrdinary(text[run]))
        ++run;
    return run;
}

} // namespace

DosTextReader::DosTextReader(HANDLE file) : file_(file), buffer_(kIoBufferSize) {}

// Makes at least two unread bytes available, unless the file ends first:
// a CR can only be judged by the byte after it.
bool DosTextReader::FillLookahead() {
    while (!endOfFile_ && length_ - position_ < 2) {
        std::size_t unread = length_ - position_;
        std::memmove(buffer_.data(), buffer_.data() + position_, unread);
        bufferOffset_ += position_;
        position_ = 0;
        length_ = unread;
        DWORD got = 0;
        auto room = static_cast<DWORD>(buffer_.size() - length_);
        if (!ReadFile(file_, buffer_.data() + length_, room, &got, nullptr))
            return false;
        if (got == 0)
            endOfFile_ = true;
        length_ += got;
    }
    return true;
}

ReadStatus DosTextReader::ReadPiece() {
    std::size_t stored = 0;
    while (stored < kPieceCapacity && !endOfText_) {
        if (length_ - position_ < 2 && !FillLookahead())
            return ReadStatus::Error;
        if (position_ == length_)
            break;
        std::size_t run = OrdinaryRun(buffer_.data() + position_,
                                      std::min(kPieceCapacity - stored, length_ - position_));
        std::memcpy(piece_.data() + stored, buffer_.data() + position_, run);
        stored += run;
        position_ += run;
        if (stored == kPieceCapacity || position_ == length_)
            continue;
        char c = buffer_[position_];
        if (c == kCtrlZ) {
            endOfText_ = true;
            break;
        }
        if (c == '\r' && position_ + 1 == length_ && !endOfFile_)
            continue; // the byte after the CR is not read yet
        bool crlf = c == '\r' && position_ + 1 < length_ && buffer_[position_ + 1] == '\n';
        position_ += crlf ? 2 : 1;
        c = crlf ? '\n' : c;
        piece_[stored++] = c;
        if (c == '\n')
            break;
    }
    if (stored == 0)
        return ReadStatus::End;
    pieceLength_ = stored;
    return ReadStatus::Piece;
}

bool DosTextReader::Seek(std::uint64_t offset) {
    LONG high = static_cast<LONG>(offset >> 32);
    SetLastError(NO_ERROR); // a valid position may look like the failure value
    DWORD low = SetFilePointer(file_, static_cast<LONG>(offset & 0xFFFFFFFFu), &high, FILE_BEGIN);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR)
        return false;
    bufferOffset_ = offset;
    position_ = length_ = 0;
    endOfFile_ = endOfText_ = false;
    return true;
}

DosTextWriter::DosTextWriter(HANDLE file) : file_(file), buffer_(kIoBufferSize) {}

void DosTextWriter::Write(std::string_view text) {
    while (!text.empty()) {
        const void *lineEnd = std::memchr(text.data(), '\n', text.size());
        if (lineEnd == nullptr) {
            Append(text);
            return;
        }
        auto length = static_cast<std::size_t>(static_cast<const char *>(lineEnd) - text.data());
        Append(text.substr(0, length));
        Append("\r\n");
        text.remove_prefix(length + 1);
    }
}

void DosTextWriter::Append(std::string_view bytes) {
    if (bytes.size() <= buffer_.size() - length_) { // the usual case: it fits
        std::memcpy(buffer_.data() + length_, bytes.data(), bytes.size());
        length_ += bytes.size();
        return;
    }
    while (!bytes.empty()) {
        if (length_ == buffer_.size() && !Flush())
            return;
        std::size_t count = std::min(bytes.size(), buffer_.size() - length_);
        std::memcpy(buffer_.data() + length_, bytes.data(), count);
        length_ += count;
        bytes.remove_prefix(count);
    }
}

bool DosTextWriter::Flush() {
    if (ok_ && length_ > 0) {
        DWORD written = 0;
        ok_ = WriteFile(file_, buffer_.data(), static_cast<DWORD>(length_), &written, nullptr) &&
              written == length_;
    }
    length_ = 0;
    return ok_;
}
