// gdbm's dump formats (dump_format.h).
#include "dump_format.h"

#include "errors.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <grp.h>
#include <pwd.h>
#include <string_view>
#include <unistd.h>

namespace kvstore {

namespace {

constexpr std::string_view binary_banner = "! GDBM FLAT FILE DUMP -- THIS IS NOT A TEXT FILE";
constexpr std::string_view end_of_header = "# End of header";
constexpr std::string_view end_of_data = "# End of data";
constexpr std::string_view length_tag = "#:len=";
constexpr std::string_view count_tag = "#:count=";
// gdbm_dump's Base64 lines: 57 bytes, 76 characters.
constexpr size_t bytes_per_line = 57;
constexpr size_t characters_per_line = 76;
// A binary item's header: the length, big-endian, and 4 bytes readers skip.
constexpr size_t binary_item_header = 8;
// The longest line read, and the read buffer: a header line holds a file
// name; gdbm writes data lines of 76 characters.
constexpr size_t read_buffer_size = 65536;
constexpr int most_binary_header_lines = 64;

constexpr char base64_alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

struct Base64Table {
    signed char value[256];
    constexpr Base64Table() : value{}
    {
        for (int c = 0; c < 256; ++c) {
            value[c] = -1;
        }
        for (int i = 0; i < 64; ++i) {
            value[static_cast<unsigned char>(base64_alphabet[i])] = static_cast<signed char>(i);
        }
    }
};
constexpr Base64Table base64_values;

bool starts_with(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

// Digits in `base` only, at most `most`.
bool parse_number(std::string_view text, unsigned base, unsigned long long most,
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

bool copy_short_name(std::string_view value, char (&to)[256])
{
    if (value.size() >= sizeof to || value.find('\0') != std::string_view::npos) {
        return false;
    }
    std::memcpy(to, value.data(), value.size());
    to[value.size()] = '\0';
    return true;
}

}  // namespace

// The reading side: a buffered reader of the dump's lines and bytes, and the
// two grammars over it. Every refusal names the line (or byte) it is at.
class DumpParser {
public:
    DumpParser(DumpContents &out, module_state *state, const char *name, int fd, Steps &steps)
        : out_(out), state_(state), name_(name), fd_(fd), steps_(steps)
    {
    }

    bool parse()
    {
        struct stat status;
        if (fstat(fd_, &status) != 0) {
            return read_failed();
        }
        file_size_ = static_cast<unsigned long long>(status.st_size);
        if (!buffer_.reserve_more(read_buffer_size)) {
            return false;
        }
        int first;
        if (!peek(&first)) {
            return false;
        }
        if (first == '!') {
            return binary();
        }
        if (first == '#') {
            return ascii();
        }
        ++line_number_;  // the first line, or an empty file, is no dump's
        return malformed_line();
    }

private:
    // ---- reading ----------------------------------------------------------

    bool read_failed()
    {
        raise_failure(state_, errno_first("dump file read error", name_));
        return false;
    }

    // Moves what is unread to the front and reads more after it.
    bool fill()
    {
        char *buffer = buffer_.data();
        std::memmove(buffer, buffer + start_, end_ - start_);
        end_ -= start_;
        start_ = 0;
        for (;;) {
            ssize_t got = read(fd_, buffer + end_, read_buffer_size - end_);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got < 0) {
                return read_failed();
            }
            at_end_ = got == 0;
            end_ += static_cast<size_t>(got);
            read_total_ += static_cast<unsigned long long>(got);
            return true;
        }
    }

    bool peek(int *c)
    {
        if (start_ == end_ && !fill()) {
            return false;
        }
        *c = start_ < end_ ? static_cast<unsigned char>(buffer_[start_]) : -1;
        return true;
    }

    // The next line without its '\n', valid until the next read; `*ended`
    // at the end of the file. The last line may lack its '\n'
    // (line_complete_ tells).
    bool next_line(std::string_view *line, bool *ended)
    {
        ++line_number_;
        size_t scanned = 0;
        for (;;) {
            const char *from = buffer_.data() + start_;
            const void *newline = std::memchr(from + scanned, '\n', end_ - start_ - scanned);
            if (newline != nullptr) {
                size_t length = static_cast<size_t>(static_cast<const char *>(newline) - from);
                *line = std::string_view(from, length);
                start_ += length + 1;
                *ended = false;
                line_complete_ = true;
                return true;
            }
            scanned = end_ - start_;
            if (at_end_) {
                *line = std::string_view(from, scanned);
                start_ = end_;
                *ended = scanned == 0;
                line_complete_ = false;
                return true;
            }
            if (scanned == read_buffer_size) {
                return malformed_line();  // no dump line is this long
            }
            if (!fill()) {
                return false;
            }
        }
    }

    // Copies up to `size` bytes; fewer only at the end of the file.
    bool take(char *to, size_t size, size_t *got)
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

    unsigned long long offset() const { return read_total_ - (end_ - start_); }

    bool malformed_line()
    {
        raise_error(state_, "%s: %s, line %lu", gdbm_strerror(GDBM_MALFORMED_DATA), name_,
                    line_number_);
        return false;
    }

    bool malformed_byte(unsigned long long at)
    {
        raise_error(state_, "%s: %s, byte %llu", gdbm_strerror(GDBM_MALFORMED_DATA), name_, at);
        return false;
    }

    // One key or value more, ending at the end of out_.bytes_.
    bool item_done()
    {
        return out_.ends_.push_back(out_.bytes_.size()) && steps_.advance();
    }

    // ---- "ascii" ----------------------------------------------------------

    bool ascii()
    {
        std::string_view line;
        bool ended;
        do {
            if (!next_line(&line, &ended)) {
                return false;
            }
            if (ended || line.empty() || line[0] != '#') {
                return malformed_line();
            }
            if (starts_with(line, "#:") && !parameters(line.substr(2))) {
                return malformed_line();
            }
        } while (line != end_of_header);
        for (;;) {
            if (!next_line(&line, &ended)) {
                return false;
            }
            if (ended || line == end_of_data) {
                return malformed_line();  // no count: the dump was cut short
            }
            if (starts_with(line, length_tag)) {
                if (!ascii_item(line.substr(length_tag.size()))) {
                    return false;
                }
            }
            else if (starts_with(line, count_tag)) {
                return ascii_end(line.substr(count_tag.size()));
            }
            else if (line.empty() || line[0] != '#' || starts_with(line, "#:")) {
                return malformed_line();
            }
            // Other lines that start with '#' are comments.
        }
    }

    // One header line's "name=value" pairs: a value is either in double
    // quotes (which it cannot hold) or runs to the next comma.
    bool parameters(std::string_view text)
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
            if (!parameter(name, value)) {
                return false;
            }
        }
        return true;
    }

    bool parameter(std::string_view name, std::string_view value)
    {
        FileMetadata &meta = out_.metadata_;
        unsigned long long n = 0;
        // (uid_t)-1 and (gid_t)-1 mean "unchanged" to fchown().
        constexpr unsigned long long most_id = 0xfffffffeULL;
        if (name == "mode") {
            meta.has_mode = parse_number(value, 8, 07777, &n);
            meta.mode = static_cast<mode_t>(n);
            return meta.has_mode;
        }
        if (name == "uid") {
            meta.has_uid = parse_number(value, 10, most_id, &n);
            meta.uid = static_cast<uid_t>(n);
            return meta.has_uid;
        }
        if (name == "gid") {
            meta.has_gid = parse_number(value, 10, most_id, &n);
            meta.gid = static_cast<gid_t>(n);
            return meta.has_gid;
        }
        // A name too long to be one is left unused, as an unknown one is.
        if (name == "user") {
            copy_short_name(value, meta.user);
        }
        else if (name == "group") {
            copy_short_name(value, meta.group);
        }
        return true;
    }

    // "#:len=N", then N bytes in Base64 over as many lines as it takes.
    bool ascii_item(std::string_view length_text)
    {
        unsigned long long length;
        // An empty key or value is its "#:len=0" line alone.
        if (!parse_number(length_text, 10, INT_MAX, &length) || length > file_size_) {
            return malformed_line();
        }
        size_t size = static_cast<size_t>(length);
        if (!out_.bytes_.reserve_more(size)) {
            return false;
        }
        char *to = out_.bytes_.data() + out_.bytes_.size();
        size_t expected = 4 * ((size + 2) / 3);
        size_t seen = 0;
        size_t written = 0;
        unsigned quantum[4];
        while (seen < expected) {
            std::string_view line;
            bool ended;
            if (!next_line(&line, &ended)) {
                return false;
            }
            if (ended || line.empty() || line.size() > expected - seen) {
                return malformed_line();
            }
            for (char c : line) {
                size_t place = seen++ % 4;
                bool last_quantum = seen > expected - 4;
                int v = base64_values.value[static_cast<unsigned char>(c)];
                // Padding only at the end, in the last two places.
                if (v < 0 && !(c == '=' && last_quantum && place >= 2)) {
                    return malformed_line();
                }
                quantum[place] = v < 0 ? 64 : static_cast<unsigned>(v);
                if (place == 3 && !decode_quantum(quantum, to, size, &written)) {
                    return malformed_line();
                }
            }
        }
        if (written != size) {
            return malformed_line();
        }
        out_.bytes_.extend(size);
        return item_done();
    }

    // Four Base64 characters (64 for '=') to up to three bytes, within `size`.
    static bool decode_quantum(const unsigned (&q)[4], char *to, size_t size, size_t *written)
    {
        if (q[2] == 64 && q[3] != 64) {
            return false;
        }
        size_t count = q[2] == 64 ? 1 : q[3] == 64 ? 2 : 3;
        if (count > size - *written) {
            return false;
        }
        unsigned bits = (q[0] << 18) | (q[1] << 12) | ((q[2] & 63) << 6) | (q[3] & 63);
        for (size_t i = 0; i < count; ++i) {
            to[(*written)++] = static_cast<char>((bits >> (16 - 8 * i)) & 0xff);
        }
        return true;
    }

    // "#:count=N" must count the records read, and "# End of data" end the file.
    bool ascii_end(std::string_view count_text)
    {
        unsigned long long count;
        if (!parse_number(count_text, 10, ULLONG_MAX, &count) || out_.ends_.size() % 2 != 0 ||
            count != out_.records()) {
            return malformed_line();
        }
        std::string_view line;
        bool ended;
        if (!next_line(&line, &ended)) {
            return false;
        }
        if (ended || line != end_of_data) {
            return malformed_line();
        }
        if (!next_line(&line, &ended)) {
            return false;
        }
        return ended || malformed_line();
    }

    // ---- "binary" ---------------------------------------------------------

    bool binary()
    {
        std::string_view line;
        bool ended;
        for (int n = 0; n < most_binary_header_lines; ++n) {
            if (!next_line(&line, &ended)) {
                return false;
            }
            bool header_line = line_complete_ && line.size() >= 2 && line[0] == '!' &&
                               line.back() == '\r';
            bool expected = n == 0   ? line == "!\r"
                            : n == 1 ? line.substr(0, line.size() - 1) == binary_banner
                                     : true;
            if (!header_line || !expected) {
                return malformed_line();
            }
            if (n > 0 && line == "!\r") {
                return binary_items();
            }
        }
        return malformed_line();
    }

    bool binary_items()
    {
        for (;;) {
            unsigned long long at = offset();
            unsigned char header[binary_item_header];
            size_t got;
            if (!take(reinterpret_cast<char *>(header), sizeof header, &got)) {
                return false;
            }
            if (got == 0) {
                return out_.ends_.size() % 2 == 0 || malformed_byte(at);
            }
            unsigned long long length = (static_cast<unsigned long long>(header[0]) << 24) |
                                        (header[1] << 16) | (header[2] << 8) | header[3];
            // An empty key or value is its header alone.
            if (got < sizeof header || length > INT_MAX ||
                length > file_size_ - std::min(file_size_, at)) {
                return malformed_byte(at);
            }
            size_t size = static_cast<size_t>(length);
            if (!out_.bytes_.reserve_more(size) ||
                !take(out_.bytes_.data() + out_.bytes_.size(), size, &got)) {
                return false;
            }
            if (got < size) {
                return malformed_byte(at);
            }
            out_.bytes_.extend(size);
            if (!item_done()) {
                return false;
            }
        }
    }

    DumpContents &out_;
    module_state *state_;
    const char *name_;
    int fd_;
    Steps &steps_;
    unsigned long long file_size_ = 0;
    Growing<char> buffer_;
    size_t start_ = 0;
    size_t end_ = 0;
    bool at_end_ = false;
    bool line_complete_ = false;  // the last line read ended with '\n'
    unsigned long long read_total_ = 0;
    unsigned long line_number_ = 0;
};

bool DumpContents::read(module_state *state, const char *name, int fd, Steps &steps)
{
    return DumpParser(*this, state, name, fd, steps).parse();
}

datum DumpContents::item(size_t index) const
{
    size_t start = index == 0 ? 0 : ends_[index - 1];
    // The library takes a pointer to change, but reads it only; it refuses
    // a null one, which a dump of empty items alone leaves here.
    static char nothing[1] = "";
    char *bytes = bytes_.data() != nullptr ? const_cast<char *>(bytes_.data()) : nothing;
    return datum{bytes + start, static_cast<int>(ends_[index] - start)};
}

// ---- writing ----------------------------------------------------------------

namespace {

// Runs a reentrant user or group database lookup, `lookup(buffer, size)`,
// with a buffer that grows while the lookup finds it too small. False with
// MemoryError set.
template <class Lookup>
bool look_up(Lookup lookup)
{
    Growing<char> scratch;
    int failed = ERANGE;
    for (size_t size = 4096; failed == ERANGE && size <= (size_t{1} << 20); size *= 2) {
        if (!scratch.reserve_more(size)) {
            return false;
        }
        failed = lookup(scratch.data(), size);
    }
    return true;
}

// The owner's and group's names, or empty where there are none.
bool owner_names(const struct stat &status, char (&user_name)[256], char (&group_name)[256])
{
    user_name[0] = group_name[0] = '\0';
    return look_up([&](char *buffer, size_t size) {
               passwd entry;
               passwd *found = nullptr;
               int failed = getpwuid_r(status.st_uid, &entry, buffer, size, &found);
               if (failed == 0 && found != nullptr) {
                   copy_short_name(found->pw_name, user_name);
               }
               return failed;
           }) &&
           look_up([&](char *buffer, size_t size) {
               struct group entry;
               struct group *found = nullptr;
               int failed = getgrgid_r(status.st_gid, &entry, buffer, size, &found);
               if (failed == 0 && found != nullptr) {
                   copy_short_name(found->gr_name, group_name);
               }
               return failed;
           });
}

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
        int length = std::snprintf(line, sizeof line, "!\r\n%.*s\r\n! %s\r\n!\r\n",
                                   static_cast<int>(binary_banner.size()), binary_banner.data(),
                                   gdbm_version);
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
    char line[32];
    int length = std::snprintf(line, sizeof line, "%.*s%d\n",
                               static_cast<int>(length_tag.size()), length_tag.data(), item.dsize);
    if (!out_.put(line, static_cast<size_t>(length))) {
        return false;
    }
    // Several lines at a time.
    constexpr size_t lines_per_write = 64;
    char text[lines_per_write * (characters_per_line + 1)];
    const auto *in = reinterpret_cast<const unsigned char *>(item.dptr);
    size_t left = static_cast<size_t>(item.dsize);
    while (left > 0) {
        char *to = text;
        for (size_t n = 0; n < lines_per_write && left > 0; ++n) {
            size_t chunk = std::min(left, bytes_per_line);
            for (size_t i = 0; i < chunk; i += 3) {
                unsigned bits = static_cast<unsigned>(in[i]) << 16;
                if (i + 1 < chunk) {
                    bits |= static_cast<unsigned>(in[i + 1]) << 8;
                }
                if (i + 2 < chunk) {
                    bits |= in[i + 2];
                }
                *to++ = base64_alphabet[(bits >> 18) & 63];
                *to++ = base64_alphabet[(bits >> 12) & 63];
                *to++ = i + 1 < chunk ? base64_alphabet[(bits >> 6) & 63] : '=';
                *to++ = i + 2 < chunk ? base64_alphabet[bits & 63] : '=';
            }
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
    const char header[binary_item_header] = {
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
    char line[64];
    int length = std::snprintf(line, sizeof line, "%.*s%zu\n%.*s\n",
                               static_cast<int>(count_tag.size()), count_tag.data(), records,
                               static_cast<int>(end_of_data.size()), end_of_data.data());
    return out_.put(line, static_cast<size_t>(length));
}


// ---- applying what a dump records --------------------------------------------

bool FileMetadata::apply(module_state *state, int fd, const char *db_name) const
{
    // As gdbm's tools do: the owner by name where the name is known here,
    // else by number; only as root.
    uid_t owner = has_uid ? uid : static_cast<uid_t>(-1);
    gid_t owner_group = has_gid ? gid : static_cast<gid_t>(-1);
    bool found = look_up([&](char *buffer, size_t size) {
                     passwd entry;
                     passwd *named = nullptr;
                     int failed = *user ? getpwnam_r(user, &entry, buffer, size, &named) : 0;
                     if (failed == 0 && named != nullptr) {
                         owner = named->pw_uid;
                     }
                     return failed;
                 }) &&
                 look_up([&](char *buffer, size_t size) {
                     struct group entry;
                     struct group *named = nullptr;
                     int failed = *group ? getgrnam_r(group, &entry, buffer, size, &named) : 0;
                     if (failed == 0 && named != nullptr) {
                         owner_group = named->gr_gid;
                     }
                     return failed;
                 });
    if (!found) {
        return false;
    }
    bool changes_owner = geteuid() == 0 && (owner != static_cast<uid_t>(-1) ||
                                            owner_group != static_cast<gid_t>(-1));
    if ((changes_owner && fchown(fd, owner, owner_group) != 0) ||
        (has_mode && fchmod(fd, mode & 0777) != 0)) {
        raise_failure(state, errno_first("cannot apply the dump's owner and mode", db_name));
        return false;
    }
    return true;
}

}  // namespace kvstore
