// DOS text, the format of batch files on disk, and the line pieces in which
// they are read.
//
// On disk lines end with CR LF; inside the program they end with a single
// LF. A CR that is not followed by LF is ordinary text. The first Ctrl-Z
// byte ends the text. Reading and writing convert between the two forms
// with our own code, so every host gives the same bytes.
//
// The reader and the writer each carry a 64 KiB buffer: keep them in
// static storage, not on the stack.
#pragma once

#include "platform/win32_api.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

// A line piece holds at most this many characters: a line of 255
// characters or more arrives in several pieces.
inline constexpr std::size_t kPieceCapacity = 255;

inline constexpr std::size_t kDosTextBufferSize = 64 * 1024;

enum class ReadStatus { Piece, End, Error };

// Buffered reader of line pieces from an open file handle.
struct DosTextReader {
    HANDLE file = nullptr;
    std::size_t position = 0; // next unread byte in `buffer`
    std::size_t length = 0;   // bytes held in `buffer`
    std::uint64_t bufferOffset = 0;
    bool endOfFile = false;
    bool endOfText = false;
    std::size_t pieceLength = 0;
    char piece[kPieceCapacity] = {};
    char buffer[kDosTextBufferSize] = {};
};

// Buffered writer that turns each LF into CR LF. Failures are sticky: once
// a write fails, `failed` stays true and nothing more is written. All its
// members start at zero, so that a static one takes no room in the image.
struct DosTextWriter {
    HANDLE file = nullptr;
    std::size_t length = 0;
    bool failed = false;
    char buffer[kDosTextBufferSize] = {};
};

// Starts reading `file` from its current position.
void StartReading(DosTextReader &reader, HANDLE file);

// Reads the next piece: characters up to and including the first LF, at
// most kPieceCapacity of them. Returns End when no character is left (the
// last piece stays available), Error when the file cannot be read.
ReadStatus ReadPiece(DosTextReader &reader);

// The piece that the last successful ReadPiece() returned.
inline std::string_view PieceText(const DosTextReader &reader) {
    return {reader.piece, reader.pieceLength};
}

// File offset of the next unread byte. SeekText() returns there (false on
// failure), so a long line can be read a second time.
inline std::uint64_t TellText(const DosTextReader &reader) {
    return reader.bufferOffset + reader.position;
}
bool SeekText(DosTextReader &reader, std::uint64_t offset);

void StartWriting(DosTextWriter &writer, HANDLE file);
void WriteText(DosTextWriter &writer, std::string_view text);
// Writes out what is buffered; false if any write so far failed.
bool FlushText(DosTextWriter &writer);
