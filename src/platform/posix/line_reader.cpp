#include "platform/posix/line_reader.h"

#include "platform/posix/descriptor.h"

namespace dosprep::posix {

namespace {

constexpr std::size_t kChunk = 64 * 1024;

} // namespace

bool LineReader::Next(std::string_view &line) {
    ended_ = cut_ = false;
    for (;;) {
        std::string_view pending = std::string_view(buffer_).substr(start_);
        std::size_t end = pending.find_first_of(ends_, scanned_);
        if (end != std::string_view::npos && end <= kMaxLine) {
            line = pending.substr(0, end);
            ended_ = true;
            start_ += end + 1;
        } else if (pending.size() >= kMaxLine) {
            line = pending.substr(0, kMaxLine);
            cut_ = true;
            start_ += kMaxLine;
        } else if (atEnd_) {
            line = pending;
            start_ = buffer_.size();
            return !pending.empty();
        } else {
            scanned_ = pending.size();
            if (!Fill())
                return false;
            continue;
        }
        scanned_ = 0;
        return true;
    }
}

bool LineReader::Fill() {
    buffer_.erase(0, start_);
    start_ = 0;
    std::size_t kept = buffer_.size();
    buffer_.resize(kept + kChunk);
    ssize_t got = ReadRetrying(fd_, buffer_.data() + kept, kChunk);
    buffer_.resize(kept + (got > 0 ? static_cast<std::size_t>(got) : 0));
    failed_ = got < 0;
    atEnd_ = got == 0;
    return !failed_;
}

} // namespace dosprep::posix
