// DOS text, the format of batch files on disk, and the line pieces in which
// they are read.
//
// On disk lines end with CR LF; inside the program they end with a single
// LF. A CR that is not followed by LF is ordinary text. The first Ctrl-Z
// byte ends the text. Reading and writing convert between the two forms
// with our own code, so every host gives the same bytes.
#pragma once

#include "platform/win32_api.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

// A line piece holds at most this many characters: a line of 255
// characters or more arrives in several pieces.
inline constexpr std::size_t kPieceCapacity = 255;

enum class ReadStatus { Piece, End, Error };

// Buffered reader of line pieces from an open file handle.
class DosTextReader {
  public:
    explicit DosTextReader(HANDLE file);

    // Reads the next piece: characters up to and including the first LF,
    // at most kPieceCapacity of them. Returns End when no character is left
    // (the last piece stays available), Error when the file cannot be read.
    ReadStatus ReadPiece();

    // The piece that the last successful ReadPiece() returned.
    std::string_view Piece() const { return {piece_.data(), pieceLength_}; }

    // File offset of the next unread byte; Seek() returns there (false on
    // failure), so a long line can be read a second time.
    std::uint64_t Tell() const { return bufferOffset_ + position_; }
    bool Seek(std::uint64_t offset);

  private:
    bool FillLookahead();

    HANDLE file_;
    std::vector<char> buffer_;
    std::size_t position_ = 0;
    std::size_t length_ = 0;
    std::uint64_t bufferOffset_ = 0;
    bool endOfFile_ = false;
    bool endOfText_ = false;
    std::array<char, kPieceCapacity> piece_{};
    std::size_t pieceLength_ = 0;
};

// Buffered writer that turns each LF into CR LF. Failures are sticky: once
// a write fails, Ok() stays false and nothing more is written.
class DosTextWriter {
  public:
    explicit DosTextWriter(HANDLE file);

    void Write(std::string_view text);
    // Writes out what is buffered; false if any write so far failed.
    bool Flush();
    bool Ok() const { return ok_; }

  private:
    void Append(std::string_view bytes);

    HANDLE file_;
    std::vector<char> buffer_;
    std::size_t length_ = 0;
    bool ok_ = true;
};
