// The lines of a file, read a chunk at a time, for the readers of WIN.INI
// and of Wine's registry files. Private to src/platform/posix.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace dosprep::posix {

class LineReader {
  public:
    // The longest line given whole; a longer one comes in pieces of this
    // many bytes, each marked Cut(). Memory stays within it and one chunk.
    static constexpr std::size_t kMaxLine = std::size_t{2} << 20;

    // Reads `fd` from where it stands; any byte of `ends` ends a line.
    LineReader(int fd, std::string_view ends) : fd_(fd), ends_(ends) {}

    // The next line without the byte that ended it, valid until the next
    // call. False at the end of the file, and when it cannot be read.
    bool Next(std::string_view &line);

    bool Ended() const { return ended_; }   // the line ended with a byte of `ends`
    bool Cut() const { return cut_; }       // it is the first kMaxLine bytes of a longer one
    bool Failed() const { return failed_; } // a read failed; the lines given so far stand

  private:
    static constexpr std::size_t kChunk = 64 * 1024;

    int fd_;
    std::string_view ends_;
    std::string buffer_;
    std::size_t start_ = 0;   // where the next line begins in buffer_
    std::size_t scanned_ = 0; // bytes from start_ on known to hold no line end
    bool atEnd_ = false;
    bool ended_ = false;
    bool cut_ = false;
    bool failed_ = false;
};

} // namespace dosprep::posix
