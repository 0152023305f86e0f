// The names of the files made beside a target, the sweep of what killed
// processes left under them, and their listing for the kvstore package
// (temporary_names.h).
#include "temporary_names.h"

#include "files.h"
#include "journal.h"
#include "ref.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kvstore {

// The letters mkostemp() would use; hex digits, which dumps always had.
const TemporaryKind rewritten_database{
    ".compact.", 6, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"};
const TemporaryKind unfinished_dump{".unfinished-", 8, "0123456789abcdef"};
const TemporaryKind replacing_journal{".new-", 8, "0123456789abcdef"};

namespace {

// "~" and 8 hex digits.
constexpr size_t hash_length = 9;

uint32_t name_hash(const char *text, size_t length)
{
    uint32_t hash = 2166136261U;
    for (size_t i = 0; i < length; ++i) {
        hash = (hash ^ static_cast<unsigned char>(text[i])) * 16777619U;
    }
    return hash;
}

// The length of `target`'s folder part, its last slash included.
size_t folder_length(const char *target)
{
    const char *slash = std::strrchr(target, '/');
    return slash == nullptr ? 0 : static_cast<size_t>(slash - target) + 1;
}

// The entries of a folder, read through a descriptor of their own, so that
// the folder's other descriptor keeps no reading position.
class Entries {
public:
    explicit Entries(int folder)
    {
        int fd = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        entries_ = fd < 0 ? nullptr : fdopendir(fd);
        if (entries_ == nullptr && fd >= 0) {
            close(fd);
        }
    }
    Entries(const Entries &) = delete;
    Entries &operator=(const Entries &) = delete;
    ~Entries()
    {
        if (entries_ != nullptr) {
            closedir(entries_);
        }
    }
    // The next entry's name, or null at the end (or when unreadable).
    const char *next()
    {
        const dirent *entry = entries_ == nullptr ? nullptr : readdir(entries_);
        return entry == nullptr ? nullptr : entry->d_name;
    }

private:
    DIR *entries_;
};

// Calls `found(name)` for each entry of `folder` named `prefix` and `kind`'s
// unique characters, until it returns false; false then.
template <class Found>
bool for_each_named(int folder, const char *prefix, const TemporaryKind &kind, Found found)
{
    size_t length = std::strlen(prefix);
    Entries entries(folder);
    while (const char *name = entries.next()) {
        if (std::strlen(name) == length + kind.unique && std::memcmp(name, prefix, length) == 0 &&
            std::strspn(name + length, kind.alphabet) == kind.unique && !found(name)) {
            return false;
        }
    }
    return true;
}

}  // namespace

int open_folder_of(const char *target)
{
    size_t length = folder_length(target);
    if (length == 0) {
        return open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    // On the stack: nothing here can fail for want of memory.
    char name[PATH_MAX];
    if (length >= sizeof name) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(name, target, length);
    name[length] = '\0';
    return open(name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

bool temporary_prefix(int folder, const char *target, const TemporaryKind &kind,
                      Growing<char> &out)
{
    const char *base = target + folder_length(target);
    size_t base_length = std::strlen(base);
    size_t mark_length = std::strlen(kind.mark);
    out.resize_down(0);
    if (!out.reserve_more(base_length + hash_length + mark_length + kind.unique + 1)) {
        return false;
    }
    long most = fpathconf(folder, _PC_NAME_MAX);
    size_t longest = most > 0 ? static_cast<size_t>(most) : NAME_MAX;
    size_t tail = mark_length + kind.unique;
    size_t kept = base_length;
    bool shortened = base_length + tail > longest;
    if (shortened) {
        kept = longest > tail + hash_length ? longest - tail - hash_length : 0;
        kept = std::min(kept, base_length);
        // Not inside a character: a UTF-8 continuation byte stays with it.
        while (kept > 0 && (static_cast<unsigned char>(base[kept]) & 0xc0) == 0x80) {
            --kept;
        }
    }
    char *to = out.data();
    std::memcpy(to, base, kept);
    size_t length = kept;
    if (shortened) {
        std::snprintf(to + length, hash_length + 1, "~%08x",
                      static_cast<unsigned>(name_hash(base, base_length)));
        length += hash_length;
    }
    std::memcpy(to + length, kind.mark, mark_length + 1);
    out.extend(length + mark_length);
    return true;
}

void sweep_leftovers(int folder, const char *prefix, const TemporaryKind &kind)
{
    int saved = errno;
    for_each_named(folder, prefix, kind, [folder](const char *name) {
        // Not through a link, and without waiting on a FIFO.
        Descriptor held(openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat locked;
        struct stat named;
        if (held.get() >= 0 && fstat(held.get(), &locked) == 0 && S_ISREG(locked.st_mode) &&
            flock(held.get(), LOCK_EX | LOCK_NB) == 0 &&
            fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            named.st_dev == locked.st_dev && named.st_ino == locked.st_ino) {
            unlinkat(folder, name, 0);
        }
        return true;
    });
    errno = saved;
}

PyObject *leftover_names(PyObject *, PyObject *target_obj)
{
    PyObject *converted = nullptr;
    if (!fallible::fs_converter(target_obj, &converted)) {
        return nullptr;
    }
    Ref path = Ref::take(converted);
    const char *target = PyBytes_AS_STRING(path.get());
    Ref names = Ref::take(fallible::new_list(0));
    Descriptor folder(open_folder_of(target));
    if (!names || folder.get() < 0) {
        return names.release();
    }
    size_t folder_part = folder_length(target);
    // The journal's replacement is named after the journal.
    size_t target_length = std::strlen(target);
    Growing<char> journal;
    if (!journal.reserve_more(target_length + sizeof journal_suffix)) {
        return nullptr;
    }
    std::memcpy(journal.data(), target, target_length);
    std::memcpy(journal.data() + target_length, journal_suffix, sizeof journal_suffix);
    struct Named {
        const char *stem;
        const TemporaryKind *kind;
    };
    Growing<char> prefix;
    for (Named each : {Named{target, &rewritten_database}, Named{target, &unfinished_dump},
                       Named{journal.data(), &replacing_journal}}) {
        if (!temporary_prefix(folder.get(), each.stem, *each.kind, prefix) ||
            !for_each_named(folder.get(), prefix.data(), *each.kind, [&](const char *name) {
                size_t length = std::strlen(name);
                Ref named = Ref::take(fallible::new_bytes(nullptr, static_cast<Py_ssize_t>(
                                                                       folder_part + length)));
                if (!named) {
                    return false;
                }
                char *to = PyBytes_AS_STRING(named.get());
                std::memcpy(to, target, folder_part);
                std::memcpy(to + folder_part, name, length);
                return fallible::list_append(names.get(), named.get()) == 0;
            })) {
            return nullptr;
        }
    }
    return names.release();
}

const char leftover_names_doc[] =
"_leftover_names($module, target, /)\n--\n\n"
"The paths of the files that compact(), load(), dump() or a batch's journal\n"
"made beside target.\n"
"\n"
"Those of calls running now and those that killed processes left, unsorted;\n"
"none where target's folder cannot be read.  For kvstore._leftovers.";

}  // namespace kvstore
