"""A fork in a child program: the pipe the forked child reports through,
its report and exit status as the parent reads them, and whether another
opener is still kept out of the file."""

import os

import _kvstore


def fork_with_pipe():
    """Forks: (0, the pipe's writing end) in the child, (the child's pid,
    the reading end) in the parent."""
    reader, writer = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(reader)
        return 0, writer
    os.close(writer)
    return pid, reader


def report(writer, text):
    """The forked child's report, written once to its end of the pipe."""
    with os.fdopen(writer, "w") as stream:
        stream.write(text)


def child_report(pid, reader):
    """What the forked child reported, once it has ended, and its status."""
    with os.fdopen(reader) as stream:
        text = stream.read()
    return text, os.waitpid(pid, 0)[1]


def refusal(path, flag):
    """The errno with which another open of `path` with `flag` is refused,
    or None when the file opens."""
    try:
        _kvstore.open(path, flag).close()
    except _kvstore.error as caught:
        return caught.errno
    return None
