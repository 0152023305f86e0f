// A batch's rollback journal: its layout and its file (journal.h).
#include "journal.h"

#include "change_runs.h"
#include "errors.h"
#include "ref.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace kvstore {

namespace {

constexpr char magic[] = "kvstore-journal\x01";
constexpr size_t magic_size = sizeof magic - 1;
// The magic, then the device, the inode, the count and the records' length.
constexpr size_t header_size = magic_size + 4 * 8;
constexpr size_t device_at = magic_size;
constexpr size_t inode_at = magic_size + 8;
constexpr size_t count_at = magic_size + 16;
constexpr size_t length_at = magic_size + 24;
// A record's flag and its key's and value's lengths.
constexpr size_t record_head = 1 + 2 * 4;
constexpr size_t checksum_size = 4;
constexpr char void_magic[magic_size] = {};

// zlib's CRC-32, eight bytes at a step.
struct CrcTables {
    uint32_t at[8][256];
};

constexpr CrcTables make_crc_tables()
{
    CrcTables tables{};
    for (uint32_t byte = 0; byte < 256; ++byte) {
        uint32_t crc = byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xedb88320U & (0U - (crc & 1U)));
        }
        tables.at[0][byte] = crc;
    }
    for (uint32_t byte = 0; byte < 256; ++byte) {
        for (int step = 1; step < 8; ++step) {
            uint32_t before = tables.at[step - 1][byte];
            tables.at[step][byte] = (before >> 8) ^ tables.at[0][before & 0xff];
        }
    }
    return tables;
}

constexpr CrcTables crc_tables = make_crc_tables();

uint32_t little_u32(const unsigned char *at)
{
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
           static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}

uint32_t crc32(const char *data, size_t size)
{
    const auto &t = crc_tables.at;
    const auto *at = reinterpret_cast<const unsigned char *>(data);
    uint32_t crc = 0xffffffffU;
    for (; size >= 8; size -= 8, at += 8) {
        uint32_t low = little_u32(at) ^ crc;
        uint32_t high = little_u32(at + 4);
        crc = t[7][low & 0xff] ^ t[6][(low >> 8) & 0xff] ^ t[5][(low >> 16) & 0xff] ^
              t[4][low >> 24] ^ t[3][high & 0xff] ^ t[2][(high >> 8) & 0xff] ^
              t[1][(high >> 16) & 0xff] ^ t[0][high >> 24];
    }
    for (; size > 0; --size, ++at) {
        crc = (crc >> 8) ^ t[0][(crc ^ *at) & 0xff];
    }
    return ~crc;
}

template <class Number>
void put_big(char *to, Number number)
{
    for (size_t i = sizeof number; i-- > 0;) {
        to[i] = static_cast<char>(number & 0xff);
        number >>= 8;
    }
}

template <class Number>
Number get_big(const char *from)
{
    Number number = 0;
    for (size_t i = 0; i < sizeof number; ++i) {
        number = static_cast<Number>(number << 8) | static_cast<unsigned char>(from[i]);
    }
    return number;
}

// Appends one record for `key`: whether the file stores it, the key's and
// the value's lengths, the key, the value.
bool append_record(Growing<char> &out, datum key, const LibDatum &value)
{
    size_t value_size = value ? static_cast<size_t>(value.view().dsize) : 0;
    size_t size = record_head + static_cast<size_t>(key.dsize) + value_size;
    if (!out.reserve_more(size)) {
        return false;
    }
    char *at = out.data() + out.size();
    at[0] = value ? 1 : 0;
    put_big(at + 1, static_cast<uint32_t>(key.dsize));
    put_big(at + 5, static_cast<uint32_t>(value_size));
    std::memcpy(at + record_head, key.dptr, static_cast<size_t>(key.dsize));
    if (value_size != 0) {
        std::memcpy(at + record_head + key.dsize, value.view().dptr, value_size);
    }
    out.extend(size);
    return true;
}

// Whether the `count` records after the header fit within `length` bytes.
bool records_fit(const char *records, uint64_t count, uint64_t length)
{
    uint64_t position = 0;
    for (uint64_t i = 0; i < count; ++i) {
        if (length - position < record_head) {
            return false;
        }
        uint64_t sizes = uint64_t{get_big<uint32_t>(records + position + 1)} +
                         get_big<uint32_t>(records + position + 5);
        position += record_head;
        if (length - position < sizes) {
            return false;
        }
        position += sizes;
    }
    return true;
}

// Writes the header (the database file `device`/`inode`, `count` records)
// and the checksum of a content whose records are in place and whose room
// for the checksum is reserved.
void seal(Growing<char> &content, dev_t device, ino_t inode, uint64_t count, size_t records)
{
    char *at = content.data();
    std::memcpy(at, magic, magic_size);
    put_big(at + device_at, static_cast<uint64_t>(device));
    put_big(at + inode_at, static_cast<uint64_t>(inode));
    put_big(at + count_at, count);
    put_big(at + length_at, static_cast<uint64_t>(records));
    size_t end = header_size + records;
    put_big(at + end, crc32(at, end));
}

// Gives the journal open on `fd` the database file's permission bits, and
// its owner and group where this process may: whoever may use the database
// may read its journal. The umask took no part in them.
bool give_access_of(int fd, const struct stat &database)
{
    if (database.st_uid != geteuid() || database.st_gid != getegid()) {
        // Best done: only root gives a file away, and an owner only a
        // group of their own; the bits below still hold.
        if (fchown(fd, geteuid() == 0 ? database.st_uid : static_cast<uid_t>(-1),
                   database.st_gid) != 0) {
            errno = 0;
        }
    }
    return errno_first_call([&] { return fchmod(fd, database.st_mode & 0777); }) == 0;
}

// Reads `size` bytes at `offset` whole; false at the end of the file first,
// with errno 0.
bool read_at(int fd, char *to, size_t size, off_t offset)
{
    while (size > 0) {
        errno = 0;
        ssize_t got = pread(fd, to, size, offset);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        to += got;
        size -= static_cast<size_t>(got);
        offset += got;
    }
    return true;
}

bool flush_folder_of(const char *name)
{
    Descriptor folder(open_folder_of(name));
    // Some file systems cannot flush a folder, and say so with EINVAL.
    return folder.get() >= 0 &&
           (errno_first_call([&] { return detached([&] { return fsync(folder.get()); }); }) == 0 ||
            errno == EINVAL);
}

}  // namespace

bool Journal::fail(const char *call, const char *name)
{
    raise_failure(state_, errno_first(call, name));
    return false;
}

bool Journal::name_after(const char *database)
{
    size_t length = std::strlen(database);
    if (!database_.reserve_more(length + 1) ||
        !name_.reserve_more(length + sizeof journal_suffix)) {
        return false;
    }
    std::memcpy(database_.data(), database, length + 1);
    database_.extend(length + 1);
    std::memcpy(name_.data(), database, length);
    std::memcpy(name_.data() + length, journal_suffix, sizeof journal_suffix);
    name_.extend(length + sizeof journal_suffix);
    return true;
}

bool Journal::compose(database_object &db, PyObject *changes, const struct stat &database)
{
    content_.resize_down(0);
    if (!content_.reserve_more(header_size)) {
        return false;
    }
    content_.extend(header_size);
    uint64_t count = 0;
    bool done = for_each_change(changes, [&](datum key, const datum *) {
        LibDatum stored(gdbm_fetch(db.handle, key));
        ++count;
        return (stored || !raise_unless_miss(db.state, "gdbm_fetch() error")) &&
               append_record(content_, key, stored);
    });
    if (!done || !content_.reserve_more(checksum_size)) {
        content_.resize_down(0);
        return false;
    }
    seal(content_, database.st_dev, database.st_ino, count, content_.size() - header_size);
    content_.extend(checksum_size);
    identity_.st_dev = database.st_dev;
    identity_.st_ino = database.st_ino;
    return true;
}

bool Journal::open_for_commit(const struct stat &database)
{
    if (file_.get() >= 0) {
        struct stat named;
        if (lstat(name(), &named) == 0 && named.st_dev == made_.st_dev &&
            named.st_ino == made_.st_ino) {
            return true;
        }
        // Gone, or something else in its place: made anew where nothing
        // stands, refused otherwise.
        file_.reset(-1);
        named_ = false;
    }
    int fd = open_beside(state_, name(), O_RDWR | O_CREAT | O_EXCL, database.st_mode & 0777);
    if (fd < 0) {
        return false;
    }
    file_.reset(fd);
    maker_ = getpid();
    void_ = true;
    return (give_access_of(fd, database) || fail("fchmod() error", name())) &&
           (fstat(fd, &made_) == 0 || fail("fstat() error", name()));
}

bool Journal::write_whole(int fd)
{
    const char *at = content_.data();
    size_t left = content_.size();
    off_t offset = 0;
    while (left > 0) {
        ssize_t written = errno_first_call([&] { return pwrite(fd, at, left, offset); });
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            if (written == 0) {
                errno = EIO;
            }
            return fail("write() error", name());
        }
        at += written;
        left -= static_cast<size_t>(written);
        offset += written;
    }
    return true;
}

bool Journal::begin(database_object &db, PyObject *changes, bool durable)
{
    struct stat database;
    if (stat(database_.data(), &database) != 0) {
        return fail("stat() error", database_.data());
    }
    if (!compose(db, changes, database) || !open_for_commit(database)) {
        return false;
    }
    int fd = file_.get();
    bool done = write_whole(fd);
    if (done && durable) {
        done = (errno_first_call([fd] { return detached([fd] { return fdatasync(fd); }); }) == 0 ||
                fail("fdatasync() error", name())) &&
               (named_ || flush_folder_of(name()) || fail("fsync() error", name()));
        named_ = done;
    }
    if (!done) {
        // Best done: a whole journal of a commit that never started puts
        // back the records the file still holds.
        if (pwrite(fd, void_magic, magic_size, 0) < 0) {
            errno = 0;
        }
        return false;
    }
    void_ = false;
    return true;
}

bool Journal::make_void(bool durable)
{
    int fd = file_.get();
    if (fd < 0) {
        return true;
    }
    ssize_t written = errno_first_call([fd] { return pwrite(fd, void_magic, magic_size, 0); });
    if (written != static_cast<ssize_t>(magic_size)) {
        if (written >= 0) {
            errno = EIO;
        }
        return fail("write() error", name());
    }
    if (durable &&
        errno_first_call([fd] { return detached([fd] { return fdatasync(fd); }); }) != 0) {
        return fail("fdatasync() error", name());
    }
    void_ = true;
    return true;
}

bool Journal::read(bool &unfinished)
{
    unfinished = false;
    content_.resize_down(0);
    Descriptor file(open_beside(state_, name(), O_RDONLY, 0));
    if (file.get() < 0) {
        return PyErr_Occurred() == nullptr;
    }
    struct stat status;
    if (fstat(file.get(), &status) != 0) {
        return fail("fstat() error", name());
    }
    // A journal shorter than its header and checksum was cut short.
    uint64_t size = static_cast<uint64_t>(status.st_size);
    char header[header_size];
    if (size < header_size + checksum_size) {
        return true;
    }
    if (!read_at(file.get(), header, header_size, 0)) {
        return errno == 0 || fail("read() error", name());
    }
    uint64_t count = get_big<uint64_t>(header + count_at);
    uint64_t length = get_big<uint64_t>(header + length_at);
    // The length the header gives is checked against the file's before
    // anything that large is read: a huge sparse file is not read whole.
    if (std::memcmp(header, magic, magic_size) != 0 ||
        length > size - header_size - checksum_size || count > length / record_head) {
        return true;
    }
    size_t total = header_size + static_cast<size_t>(length) + checksum_size;
    if (!content_.reserve_more(total)) {
        return false;
    }
    if (!read_at(file.get(), content_.data(), total, 0)) {
        return errno == 0 || fail("read() error", name());
    }
    const char *at = content_.data();
    if (get_big<uint32_t>(at + total - checksum_size) != crc32(at, total - checksum_size) ||
        !records_fit(at + header_size, count, length)) {
        return true;
    }
    content_.extend(total);
    identity_.st_dev = static_cast<dev_t>(get_big<uint64_t>(at + device_at));
    identity_.st_ino = static_cast<ino_t>(get_big<uint64_t>(at + inode_at));
    unfinished = true;
    return true;
}

PyObject *Journal::before() const
{
    Ref records = Ref::take(fault::injected() ? nullptr : PyDict_New());
    if (!records || content_.size() == 0) {
        return records.release();
    }
    const char *at = content_.data() + header_size;
    uint64_t count = get_big<uint64_t>(content_.data() + count_at);
    for (uint64_t i = 0; i < count; ++i) {
        bool stored = at[0] != 0;
        auto key_size = static_cast<Py_ssize_t>(get_big<uint32_t>(at + 1));
        auto value_size = static_cast<Py_ssize_t>(get_big<uint32_t>(at + 5));
        at += record_head;
        Ref key = Ref::take(fallible::new_bytes(at, key_size));
        Ref value = Ref::take(stored ? fallible::new_bytes(at + key_size, value_size)
                                     : Py_NewRef(Py_None));
        at += key_size + value_size;
        if (!key || !value ||
            (fault::injected() ? -1 : PyDict_SetItem(records.get(), key.get(), value.get())) < 0) {
            return nullptr;
        }
    }
    return records.release();
}

bool Journal::replace(dev_t device, ino_t inode)
{
    if (content_.size() == 0) {
        PyErr_SetString(PyExc_ValueError, "no whole journal was begun or read");
        return false;
    }
    struct stat database;
    if (stat(database_.data(), &database) != 0) {
        return fail("stat() error", database_.data());
    }
    size_t records = content_.size() - header_size - checksum_size;
    seal(content_, device, inode, get_big<uint64_t>(content_.data() + count_at), records);
    identity_.st_dev = device;
    identity_.st_ino = inode;
    ReplacingFile fresh(state_, name());
    if (!fresh.create(name(), replacing_journal, database.st_mode & 0777) ||
        !(give_access_of(fresh.fd(), database) || fail("fchmod() error", name())) ||
        !write_whole(fresh.fd()) ||
        !fresh.commit(ReplacingFile::Flush::whole, [] { return true; })) {
        return false;
    }
    // The file this object made, if any, is no longer under the name.
    file_.reset(-1);
    return true;
}

bool Journal::remove()
{
    file_.reset(-1);
    named_ = false;
    void_ = true;
    // Only a regular file is removed; anything else there is refused.
    Descriptor found(open_beside(state_, name(), O_RDONLY, 0));
    if (found.get() < 0) {
        return PyErr_Occurred() == nullptr;
    }
    if (unlink(name()) != 0 && errno != ENOENT) {
        return fail("unlink() error", name());
    }
    return flush_folder_of(name()) || fail("fsync() error", name());
}

void Journal::close() noexcept
{
    struct stat named;
    int saved = errno;
    if (file_.get() >= 0 && void_ && getpid() == maker_ && lstat(name(), &named) == 0 &&
        named.st_dev == made_.st_dev && named.st_ino == made_.st_ino) {
        unlink(name());
    }
    file_.reset(-1);
    errno = saved;
}

}  // namespace kvstore
