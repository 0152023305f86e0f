// gdbm's two dump formats, which this module writes (dump_writer.h) and
// reads (dump_reader.h) itself, record by record, so that dump() and load()
// can run in steps (steps.h). The bytes are those gdbm's own tools write and
// read: gdbm_dump and gdbm_load exchange files with this module in either
// format. This header holds what the writer and the grammars share.
//
// "ascii": a header of "#:" lines (the database file's name, owner and
// mode), each key and value as "#:len=N" and its Base64 in lines of 76
// characters, then "#:count=N" and "# End of data". "binary": a header of
// "!" lines, then each key and value as a 4-byte big-endian length, 4 bytes
// that readers skip, and the bytes; it has no end mark, so a binary dump
// cut after a complete record cannot be told from a whole one.
#ifndef KVSTORE_DUMP_FORMAT_H
#define KVSTORE_DUMP_FORMAT_H

#include <cstddef>
#include <string_view>

namespace kvstore::dump_format {

inline constexpr std::string_view binary_banner =
    "! GDBM FLAT FILE DUMP -- THIS IS NOT A TEXT FILE";
inline constexpr std::string_view end_of_header = "# End of header";
inline constexpr std::string_view end_of_data = "# End of data";
inline constexpr std::string_view length_tag = "#:len=";
inline constexpr std::string_view count_tag = "#:count=";
// A binary item's header: the length, big-endian, and 4 bytes readers skip.
inline constexpr size_t binary_item_header = 8;

// A number as the formats write one: digits in `base` only, no sign, no
// space, at most `most`.
inline bool parse_number(std::string_view text, unsigned base, unsigned long long most,
                         unsigned long long *number)
{
    if (text.empty()) {
        return false;
    }
    unsigned long long n = 0;
    for (char c : text) {
        unsigned digit = static_cast<unsigned>(c - '0');
        if (digit >= base || n > (most - digit) / base) {
            return false;
        }
        n = n * base + digit;
    }
    *number = n;
    return true;
}

}  // namespace kvstore::dump_format

#endif
