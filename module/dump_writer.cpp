// Writing gdbm's dump formats (dump_writer.h), byte for byte as gdbm_dump
// writes them but for the time in the first line.
#include "dump_writer.h"

#include "base64.h"
#include "dump_format.h"
#include "dump_metadata.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace kvstore {

namespace {

// gdbm_dump's Base64 lines: 57 bytes, 76 characters.
constexpr size_t bytes_per_line = 57;

}  // namespace

bool DumpWriter::can_record_name(const char *name)
{
    // A line break ends the header line; a comma ends an unquoted value and
    // asks for quotes, which cannot hold a quote, and readers may yet take
    // a backslash in them as an escape.
    return std::strchr(name, '\n') == nullptr &&
           (std::strchr(name, ',') == nullptr || std::strpbrk(name, "\"\\") == nullptr);
}

bool DumpWriter::header(const char *name, const struct stat &db_file, bool numsync)
{
    char line[1024];
    if (!ascii_) {
        constexpr std::string_view banner = dump_format::binary_banner;
        int length = std::snprintf(line, sizeof line, "!\r\n%.*s\r\n! %s\r\n!\r\n",
                                   static_cast<int>(banner.size()), banner.data(), gdbm_version);
        return out_.put(line, static_cast<size_t>(length));
    }
    time_t now = time(nullptr);
    tm local;
    char date[64] = "";
    if (localtime_r(&now, &local) != nullptr) {
        strftime(date, sizeof date, "%a %b %e %H:%M:%S %Y", &local);
    }
    int length = std::snprintf(line, sizeof line,
                               "# GDBM dump file created by %s on %s\n#:version=1.1\n#:file=",
                               gdbm_version, date);
    bool quoted = std::strchr(name, ',') != nullptr;
    if (!out_.put(line, static_cast<size_t>(length)) || (quoted && !out_.put("\"", 1)) ||
        !out_.put(name, std::strlen(name)) || (quoted && !out_.put("\"", 1))) {
        return false;
    }
    char user[256];
    char group[256];
    if (!owner_names(db_file, user, group)) {
        return false;
    }
    constexpr std::string_view end_of_header = dump_format::end_of_header;
    length = std::snprintf(line, sizeof line, "\n#:uid=%lu%s%s,gid=%lu%s%s,mode=%03o\n"
                           "#:format=%s\n%.*s\n",
                           static_cast<unsigned long>(db_file.st_uid), *user ? ",user=" : "", user,
                           static_cast<unsigned long>(db_file.st_gid), *group ? ",group=" : "",
                           group, static_cast<unsigned>(db_file.st_mode & 0777),
                           numsync ? "numsync" : "standard",
                           static_cast<int>(end_of_header.size()), end_of_header.data());
    return out_.put(line, static_cast<size_t>(length));
}

bool DumpWriter::ascii_item(datum item)
{
    constexpr std::string_view tag = dump_format::length_tag;
    char line[32];
    int length = std::snprintf(line, sizeof line, "%.*s%d\n", static_cast<int>(tag.size()),
                               tag.data(), item.dsize);
    if (!out_.put(line, static_cast<size_t>(length))) {
        return false;
    }
    // Several lines at a time.
    constexpr size_t lines_per_write = 64;
    char text[lines_per_write * (base64::encoded_size(bytes_per_line) + 1)];
    const auto *in = reinterpret_cast<const unsigned char *>(item.dptr);
    size_t left = static_cast<size_t>(item.dsize);
    while (left > 0) {
        char *to = text;
        for (size_t n = 0; n < lines_per_write && left > 0; ++n) {
            size_t chunk = std::min(left, bytes_per_line);
            to = base64::encode(in, chunk, to);
            *to++ = '\n';
            in += chunk;
            left -= chunk;
        }
        if (!out_.put(text, static_cast<size_t>(to - text))) {
            return false;
        }
    }
    return true;
}

bool DumpWriter::binary_item(datum item)
{
    auto size = static_cast<unsigned>(item.dsize);
    const char header[dump_format::binary_item_header] = {
        static_cast<char>(size >> 24), static_cast<char>(size >> 16),
        static_cast<char>(size >> 8), static_cast<char>(size), 0, 0, 0, 0};
    return out_.put(header, sizeof header) && out_.put(item.dptr, size);
}

bool DumpWriter::record(datum key, datum value)
{
    return ascii_ ? ascii_item(key) && ascii_item(value) : binary_item(key) && binary_item(value);
}

bool DumpWriter::end(size_t records)
{
    if (!ascii_) {
        return true;
    }
    constexpr std::string_view tag = dump_format::count_tag;
    constexpr std::string_view end_of_data = dump_format::end_of_data;
    char line[64];
    int length = std::snprintf(line, sizeof line, "%.*s%zu\n%.*s\n", static_cast<int>(tag.size()),
                               tag.data(), records, static_cast<int>(end_of_data.size()),
                               end_of_data.data());
    return out_.put(line, static_cast<size_t>(length));
}

}  // namespace kvstore
