#include "platform/posix/line_reader.h"

#include "platform/posix/descriptor.h"

namespace dosprep::posix {

bool LineReader::Next(std::string_view &line) {
    for (;;) {
        std::string_view pending = std::string_view(buffer_).substr(start_);
        std::size_t end = pending.find_first_of(ends_, scanned_);
        ended_ = end <= kMaxLine;
        cut_ = !ended_ && pending.size() >= kMaxLine;
        if (ended_ || cut_) {
            line = pending.substr(0, ended_ ? end : kMaxLine);
            start_ += ended_ ? end + 1 : kMaxLine;
            scanned_ = 0;
            return true;
        }
        if (atEnd_) {
            line = pending;
            start_ = buffer_.size();
            return !pending.empty();
        }
        buffer_.erase(0, start_);
        start_ = 0;
        scanned_ = buffer_.size();
        buffer_.resize(scanned_ + kChunk);
        ssize_t got = ReadRetrying(fd_, buffer_.data() + scanned_, kChunk);
        buffer_.resize(scanned_ + (got > 0 ? static_cast<std::size_t>(got) : 0));
        failed_ = got < 0;
        atEnd_ = got == 0;
        if (failed_)
            return false;
    }
}

} // namespace dosprep::posix
