"""Hostile objects that another user of a folder may put at a name the
package uses beside a database."""

import os


def plant(kind, name, victim, nowhere):
    """Puts a hostile object of `kind` at `name`."""
    if kind == "dangling link":
        os.symlink(nowhere, name)
    elif kind == "link to a victim":
        os.symlink(victim, name)
    elif kind == "FIFO":
        os.mkfifo(name)
    elif kind == "folder":
        os.mkdir(name)
    elif kind == "link to /dev/zero":
        os.symlink("/dev/zero", name)
    elif kind == "huge sparse file":
        with open(name, "wb") as huge:
            huge.truncate(8 << 30)
    elif kind == "file of another mode":
        with open(name, "wb") as other:
            other.write(b"not a journal" * 100)
        os.chmod(name, 0o000)


# The kinds that are no regular file: refused wherever they stand. The others
# are regular files holding no journal: a writer's open removes one at the
# journal's name, a reader leaves it, a commit refuses to write into it.
NOT_REGULAR = ["dangling link", "link to a victim", "FIFO", "folder", "link to /dev/zero"]
REGULAR = ["huge sparse file", "file of another mode"]
