// The grammar of gdbm's "ascii" dumps (dump_grammars.h): "#" lines, a
// header of "#:" pairs, each key and value as its length and Base64 lines,
// the count of records and the end mark.
#include "base64.h"
#include "dump_format.h"
#include "dump_grammars.h"

#include <climits>

namespace kvstore {

namespace {

using dump_format::parse_number;

// Hands each "name=value" pair of a header line to `on_pair(name, value)`.
// A value is either in double quotes, which it cannot hold, or runs to the
// next comma; a name without a value is passed over. False for a quote
// left open or followed by more than a comma, or a pair on_pair refuses.
template <class OnPair>
bool for_each_pair(std::string_view text, OnPair on_pair)
{
    while (!text.empty()) {
        size_t start = text.find_first_not_of(" \t");
        if (start == std::string_view::npos) {
            return true;
        }
        text.remove_prefix(start);
        size_t equals = text.find_first_of("=,");
        std::string_view name = text.substr(0, equals);
        std::string_view value;
        if (equals == std::string_view::npos || text[equals] == ',') {
            text.remove_prefix(equals == std::string_view::npos ? text.size() : equals + 1);
            continue;
        }
        text.remove_prefix(equals + 1);
        if (!text.empty() && text[0] == '"') {
            size_t quote = text.find('"', 1);
            if (quote == std::string_view::npos) {
                return false;
            }
            value = text.substr(1, quote - 1);
            text.remove_prefix(quote + 1);
            if (!text.empty() && text[0] != ',') {
                return false;
            }
        }
        else {
            value = text.substr(0, text.find(','));
            text.remove_prefix(value.size());
        }
        if (!text.empty()) {
            text.remove_prefix(1);  // the comma
        }
        if (!on_pair(name, value)) {
            return false;
        }
    }
    return true;
}

// Up to "# End of header": comments, and "#:" lines of pairs that tell
// about the database file.
DumpStop header(DumpReading &r)
{
    auto take_pair = [&r](std::string_view name, std::string_view value) {
        return r.out.metadata().take(name, value);
    };
    DumpLine line;
    do {
        if (!r.in.next_line(&line)) {
            return r.in.failure();
        }
        std::string_view text = line.text;
        if (text.empty() || text[0] != '#' ||
            (text.starts_with("#:") && !for_each_pair(text.substr(2), take_pair))) {
            return r.in.malformed_line();
        }
    } while (line.text != dump_format::end_of_header);
    return DumpStop::complete();
}

// A key or value: after "#:len=N", N bytes in Base64 over as many lines as
// it takes; an empty one has no line.
DumpStop item(DumpReading &r, std::string_view length_text)
{
    unsigned long long length;
    if (!parse_number(length_text, 10, INT_MAX, &length) || length > r.in.size()) {
        return r.in.malformed_line();
    }
    size_t size = static_cast<size_t>(length);
    if (!r.out.make_room(size)) {
        return DumpStop::raised();
    }
    base64::Decoder decoder(r.out.next(), size);
    while (decoder.characters_left() > 0) {
        DumpLine line;
        if (!r.in.next_line(&line)) {
            return r.in.failure();
        }
        if (line.text.empty() || !decoder.feed(line.text)) {
            return r.in.malformed_line();
        }
    }
    if (!decoder.complete()) {
        return r.in.malformed_line();
    }
    return r.item_read(size) ? DumpStop::complete() : DumpStop::raised();
}

// "#:count=N" must count the records read, and "# End of data" end the file.
DumpStop end(DumpReading &r, std::string_view count_text)
{
    unsigned long long count;
    if (!parse_number(count_text, 10, ULLONG_MAX, &count) || !r.out.pairs_whole() ||
        count != r.out.records()) {
        return r.in.malformed_line();
    }
    DumpLine line;
    if (!r.in.next_line(&line)) {
        return r.in.failure();
    }
    if (line.text != dump_format::end_of_data) {
        return r.in.malformed_line();
    }
    if (!r.in.next_line(&line)) {
        return r.in.failure();
    }
    return line.found() ? r.in.malformed_line() : DumpStop::complete();
}

}  // namespace

DumpStop read_ascii_dump(DumpReading &r)
{
    if (DumpStop part = header(r); !part.is_complete()) {
        return part;
    }
    for (;;) {
        DumpLine line;
        if (!r.in.next_line(&line)) {
            return r.in.failure();
        }
        std::string_view text = line.text;
        if (!line.found() || text == dump_format::end_of_data) {
            return r.in.malformed_line();  // no count: the dump was cut short
        }
        if (text.starts_with(dump_format::length_tag)) {
            if (DumpStop part = item(r, text.substr(dump_format::length_tag.size()));
                !part.is_complete()) {
                return part;
            }
        }
        else if (text.starts_with(dump_format::count_tag)) {
            return end(r, text.substr(dump_format::count_tag.size()));
        }
        else if (text.empty() || text[0] != '#' || text.starts_with("#:")) {
            return r.in.malformed_line();
        }
        // Other lines that start with '#' are comments.
    }
}

}  // namespace kvstore
