// Buffered reading of a dump file (dump_source.h).
#include "dump_source.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace kvstore {

namespace {

// The buffer, and so the longest line read: a header line holds a file
// name; gdbm writes data lines of 76 characters.
constexpr size_t buffer_size = 65536;

}  // namespace

bool DumpSource::start()
{
    struct stat status;
    if (fstat(fd_, &status) != 0) {
        return stop(DumpStop::read_failed(errno));
    }
    size_ = static_cast<unsigned long long>(status.st_size);
    return buffer_.reserve_more(buffer_size) || stop(DumpStop::raised());
}

// Moves what is unread to the front and reads more after it.
bool DumpSource::fill()
{
    char *buffer = buffer_.data();
    std::memmove(buffer, buffer + start_, end_ - start_);
    end_ -= start_;
    start_ = 0;
    for (;;) {
        ssize_t got = read(fd_, buffer + end_, buffer_size - end_);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return stop(DumpStop::read_failed(errno));
        }
        at_end_ = got == 0;
        end_ += static_cast<size_t>(got);
        read_total_ += static_cast<unsigned long long>(got);
        return true;
    }
}

bool DumpSource::peek(int *c)
{
    if (start_ == end_ && !fill()) {
        return false;
    }
    *c = start_ < end_ ? static_cast<unsigned char>(buffer_[start_]) : -1;
    return true;
}

// A line that goes past what the buffer holds: to the end of the file, or
// on in what the next reads bring.
bool DumpSource::line_across(DumpLine *line)
{
    for (;;) {
        size_t scanned = end_ - start_;
        if (at_end_) {
            *line = {std::string_view(buffer_.data() + start_, scanned), false};
            start_ = end_;
            return true;
        }
        if (scanned == buffer_size) {
            return stop(malformed_line());
        }
        if (!fill()) {
            return false;
        }
        const void *newline = std::memchr(buffer_.data() + scanned, '\n', end_ - scanned);
        if (newline != nullptr) {
            return line_to(newline, line);
        }
    }
}

bool DumpSource::take_across(char *to, size_t size, size_t *got)
{
    *got = 0;
    while (*got < size) {
        if (start_ == end_) {
            if (at_end_) {
                return true;
            }
            if (!fill()) {
                return false;
            }
            continue;
        }
        size_t n = std::min(size - *got, end_ - start_);
        std::memcpy(to + *got, buffer_.data() + start_, n);
        start_ += n;
        *got += n;
    }
    return true;
}

}  // namespace kvstore
