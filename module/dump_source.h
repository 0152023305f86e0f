// The bytes of a dump file as the grammars (dump_grammars.h) read them:
// a line at a time, or so many bytes, through one buffer, counting lines
// and bytes so that a refusal can say where it is. A source raises
// nothing: it ends in a stop (DumpStop), and the reader (dump_reader.cpp)
// alone turns a stop into the exception.
#ifndef KVSTORE_DUMP_SOURCE_H
#define KVSTORE_DUMP_SOURCE_H

#include "growing.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace kvstore {

// Where and why reading a dump stopped.
struct DumpStop {
    enum class Reason {
        complete,        // the whole dump was read, and nothing after it
        malformed_line,  // at line `at`, counted from 1
        malformed_byte,  // at the byte `at` bytes into the file
        read_failed,     // the system's `error_number`
        raised,          // with the exception set: MemoryError, or progress's
    };
    Reason reason = Reason::complete;
    unsigned long long at = 0;
    int error_number = 0;

    // Also what a grammar's part returns when it read all it should.
    static DumpStop complete() noexcept { return {}; }
    static DumpStop raised() noexcept { return {Reason::raised}; }
    static DumpStop malformed_line(unsigned long long line) noexcept
    {
        return {Reason::malformed_line, line};
    }
    static DumpStop malformed_byte(unsigned long long offset) noexcept
    {
        return {Reason::malformed_byte, offset};
    }
    static DumpStop read_failed(int number) noexcept { return {Reason::read_failed, 0, number}; }

    bool is_complete() const noexcept { return reason == Reason::complete; }
};

struct DumpLine {
    std::string_view text;  // without the '\n'; valid until the next read
    bool terminated = false;  // by '\n': a file's last line may not be
    // Whether there was a line: at the end of the file there is none.
    bool found() const noexcept { return terminated || !text.empty(); }
};

class DumpSource {
public:
    explicit DumpSource(int fd) noexcept : fd_(fd) {}
    DumpSource(const DumpSource &) = delete;
    DumpSource &operator=(const DumpSource &) = delete;

    // Every call below returns false where it stopped, failure() saying why.

    // Learns the file's size and makes the buffer.
    bool start();
    // The next byte, without taking it; -1 at the end of the file.
    bool peek(int *c);
    // The next line; a line longer than the buffer is malformed, for no
    // dump holds one.
    bool next_line(DumpLine *line)
    {
        ++line_number_;
        const void *newline = std::memchr(buffer_.data() + start_, '\n', end_ - start_);
        return newline != nullptr ? line_to(newline, line) : line_across(line);
    }
    // Copies up to `size` bytes; fewer only at the end of the file.
    bool take(char *to, size_t size, size_t *got)
    {
        // Most often the buffer holds them all: a call made for a few bytes
        // costs no more than copying them.
        if (size <= end_ - start_) {
            std::copy_n(buffer_.data() + start_, size, to);
            start_ += size;
            *got = size;
            return true;
        }
        return take_across(to, size, got);
    }

    const DumpStop &failure() const noexcept { return failure_; }

    // The file's size when reading started: nothing in it is longer.
    unsigned long long size() const noexcept { return size_; }
    // How far into the file the next byte is.
    unsigned long long offset() const noexcept { return read_total_ - (end_ - start_); }
    // The stop for a last line read that the grammar refuses.
    DumpStop malformed_line() const noexcept { return DumpStop::malformed_line(line_number_); }

private:
    // The line from start_ to `newline`, in the buffer.
    bool line_to(const void *newline, DumpLine *line) noexcept
    {
        const char *from = buffer_.data() + start_;
        size_t length = static_cast<size_t>(static_cast<const char *>(newline) - from);
        *line = {std::string_view(from, length), true};
        start_ += length + 1;
        return true;
    }
    bool line_across(DumpLine *line);
    bool take_across(char *to, size_t size, size_t *got);
    bool fill();
    bool stop(DumpStop why) noexcept
    {
        failure_ = why;
        return false;
    }

    int fd_;
    unsigned long long size_ = 0;
    Growing<char> buffer_;
    size_t start_ = 0;  // the next byte to take, in buffer_
    size_t end_ = 0;    // the end of what was read, in buffer_
    bool at_end_ = false;
    unsigned long long read_total_ = 0;
    unsigned long long line_number_ = 0;  // of the last line read
    DumpStop failure_;
};

}  // namespace kvstore

#endif
