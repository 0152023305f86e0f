// The grammar of gdbm's "binary" dumps (dump_grammars.h): "!" header lines
// ending in "\r\n", then each key and value as its length and bytes, up to
// the end of the file.
#include "dump_format.h"
#include "dump_grammars.h"

#include <algorithm>
#include <climits>

namespace kvstore {

namespace {

// gdbm writes four header lines; a file with many more is no dump.
constexpr int most_header_lines = 64;

// Every item to the end of the file, which must not fall inside a record.
DumpStop items(DumpReading &r)
{
    for (;;) {
        unsigned long long at = r.in.offset();
        unsigned char header[dump_format::binary_item_header];
        size_t got;
        if (!r.in.take(reinterpret_cast<char *>(header), sizeof header, &got)) {
            return r.in.failure();
        }
        if (got == 0) {
            return r.out.pairs_whole() ? DumpStop::complete() : DumpStop::malformed_byte(at);
        }
        // A header cut short leaves the rest of `header` unread.
        if (got < sizeof header) {
            return DumpStop::malformed_byte(at);
        }
        unsigned long long length = (static_cast<unsigned long long>(header[0]) << 24) |
                                    (header[1] << 16) | (header[2] << 8) | header[3];
        // An empty key or value is its header alone.
        if (length > INT_MAX || length > r.in.size() - std::min(r.in.size(), at)) {
            return DumpStop::malformed_byte(at);
        }
        size_t size = static_cast<size_t>(length);
        if (!r.out.make_room(size)) {
            return DumpStop::raised();
        }
        if (!r.in.take(r.out.next(), size, &got)) {
            return r.in.failure();
        }
        if (got < size) {
            return DumpStop::malformed_byte(at);
        }
        if (!r.item_read(size)) {
            return DumpStop::raised();
        }
    }
}

}  // namespace

DumpStop read_binary_dump(DumpReading &r)
{
    for (int n = 0; n < most_header_lines; ++n) {
        DumpLine line;
        if (!r.in.next_line(&line)) {
            return r.in.failure();
        }
        std::string_view text = line.text;
        bool header_line =
            line.terminated && text.size() >= 2 && text[0] == '!' && text.back() == '\r';
        bool expected = n == 0   ? text == "!\r"
                        : n == 1 ? text.substr(0, text.size() - 1) == dump_format::binary_banner
                                 : true;
        if (!header_line || !expected) {
            return r.in.malformed_line();
        }
        if (n > 0 && text == "!\r") {
            return items(r);
        }
    }
    return r.in.malformed_line();
}

}  // namespace kvstore
