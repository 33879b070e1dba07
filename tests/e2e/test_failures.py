"""Each failure: status 1, one exact line on standard error (or the usage on standard output), the directory as it was
(old destfile, no temporary)."""
import os
import resource
import signal
import socket
from pathlib import Path

import pytest

from conftest import BUSY, DEST, OLD, READ, SOURCE, WRITE, calls, nothing, others_file, row, steps, windows_path

posix, mounts, wine = pytest.mark.posix, pytest.mark.mounts, pytest.mark.wine
linux_only = (posix, mounts, pytest.mark.linux)  # refused only where the kernel tells the host
root = (posix, mounts)  # as root, which the mounts group runs as
traced = (posix, pytest.mark.strace)
memcheck = pytest.mark.memcheck  # each kind of failure once: the row runs under memcheck too
LONG = "a" * 63  # with a leading character, one byte past the name buffers


def no_memory(w):
    if w.tool.sanitized:
        pytest.skip("the sanitizer's allocator holds memory before the tool starts")
    first = {name: whens[0] for name, whens in calls(w).items()}
    if "brk" not in first:
        pytest.skip("a static C library sets up its heap before the tool starts")
    # From the tool's first request on, the kernel grants no memory.
    return {"wrap": w.tool.inject(f"brk:retval=0:when={first['brk']}+", f"mmap:error=ENOMEM:when={first['mmap']}+")}


def file_size_limit(w, ignore_signal=False, size=100000):
    """At size bytes; at 0 the report too meets it, in a file as standard error."""
    if not size:
        w.write("log", b"")

    def limit():
        if ignore_signal:  # a Windows program does not know SIGXFSZ; wine leaves it fatal
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (size, size))
        if not size:
            os.dup2(os.open(w / "log", os.O_WRONLY), 2)
    return {"preexec_fn": limit}


def planted_link(w):
    # protected_symlinks: in a sticky world-writable directory only a link's owner or the directory's may follow it.
    sysctl = Path("/proc/sys/fs/protected_symlinks")
    old = sysctl.read_text()
    sysctl.write_text("1")
    w.cleanups.append(lambda: sysctl.write_text(old))
    w.link("sticky/out.bmp", str(w / "old.bmp"))
    os.chmod(w / "sticky", 0o1777)
    os.lchown(w / "sticky/out.bmp", 1234, 1234)


def usage(w):
    """The usage text, naming the tool as the system writes it."""
    name = windows_path(w.tool.path) if w.tool.wine else w.tool.path
    return (f"\nusage: {name} [<sourcefile> <destfile>]\n"
            "       ---[Examples]-----------------------\n"
            f"       {name} 001.dat items.bmp\n"
            f"       {name} 002.dat corpses.bmp\n"
            f"       {name} 003.dat critters.bmp\n"
            f"       {name} 004.dat terrain.bmp\n"
            "\n\n"
            f"{name} is NOT for public use.\n")


DAT, BUFFER, USAGE = "Can't open datfile: ", "Couldn't allocate the data buffer: ", "usage"
NOENT, TOO_LONG, SHORT = "{ENOENT}", "{ENAMETOOLONG}", READ + "{0}"  # a short read: errno 0, no error
INVALID, IS_DIR, NO_SPACE, NOT_PERMITTED = "{EINVAL}", "{EISDIR}", "{ENOSPC}", "{EPERM}"
TOO_SHORT, SHORT_TO_OLD = "Sourcefile is too short to be restored: {EINVAL}", ["0short.dat", "old.bmp"]
LOOP, DENIED, BIG, UNSIZED = "{ELOOP}", "{EACCES}", BUFFER + "{EFBIG}", BUFFER + "{ESPIPE}"
TO_NEW, TO_OLD, TO_LINK = ["001.dat", "new.bmp"], ["001.dat", "old.bmp"], ["001.dat", "link.bmp"]
FAILURES = [
    # Wrong arguments: the usage on standard output. Without misc.dat, so that a run that went past them would say so.
    *(row(name, lambda w: w.remove("misc.dat"), args, USAGE, marks=marks) for name, args, marks in [
        ("no arguments", [], ()),
        ("one argument", ["001.dat"], ()),
        ("three arguments", ["001.dat", "out.bmp", "extra"], ()),
        ("sourcefile not starting with zero", ["1.dat", "out.bmp"], memcheck),
        ("sourcefile with a directory before its name", ["./001.dat", "out.bmp"], ()),
        ("sourcefile starting with a full-width zero", ["０01.dat", "out.bmp"], ()),
        ("empty sourcefile name", ["", "out.bmp"], ()),
    ]),
    row("no misc.dat", lambda w: w.remove("misc.dat"), TO_NEW, DAT + NOENT, marks=memcheck),
    row("misc.dat of 1029 bytes", lambda w: w.write("misc.dat", w.block[:1029]), TO_NEW, SHORT, marks=memcheck),
    row("no memory for the dat buffer", no_memory, TO_NEW, "Couldn't allocate the dat buffer: {ENOMEM}", marks=traced),
    # The shortest name that passes for a sourcefile.
    row("missing sourcefile named 0", nothing, ["0", "old.bmp"], SOURCE + NOENT, marks=memcheck),
    row("sourcefile is a directory", lambda w: w.mkdir("0dir"), ["0dir", "new.bmp"], SOURCE + IS_DIR, marks=memcheck),
    row("sourcefile name of 64 bytes", nothing, ["0" + LONG, "new.bmp"], SOURCE + TOO_LONG, marks=memcheck),
    row("destfile name of 64 bytes", nothing, ["001.dat", "b" + LONG], DEST + TOO_LONG, marks=memcheck),
    row("destfile in a missing directory", nothing, ["001.dat", "nodir/new.bmp"], DEST + NOENT, marks=memcheck),
    row("empty destfile name", nothing, ["001.dat", ""], DEST + NOENT),
    row("destfile below a file", nothing, ["001.dat", "old.bmp/"], DEST + "{ENOTDIR}"),
    row("sourcefile below a file", nothing, ["001.dat/a", "new.bmp"], SOURCE + "{ENOTDIR}"),
    row("destfile is a directory, through a link", steps(lambda w: w.mkdir("dir"), lambda w: w.link("dir.bmp", "dir")),
        ["001.dat", "dir.bmp"], DEST + IS_DIR),
    row("destfile is a dangling link", lambda w: w.link("link.bmp", "target.bmp"), TO_LINK, DEST + NOENT, marks=posix),
    row("destfile is a link loop", lambda w: w.link("loop.bmp", "loop.bmp"), ["001.dat", "loop.bmp"], DEST + LOOP),
    row("destfile is a chain of 41 links", lambda w: w.chain(41), ["001.dat", "l1.bmp"], DEST + LOOP, marks=posix),
    row("destfile is another user's link in a sticky directory", planted_link, ["001.dat", "sticky/out.bmp"],
        DEST + DENIED, marks=root),
    row("destfile is a socket", lambda w: socket.socket(socket.AF_UNIX).bind(str(w / "sock.bmp")),
        ["001.dat", "sock.bmp"], DEST + "{ENXIO}", marks=posix),
    row("destfile is a mount point", lambda w: w.mount("old.bmp", "--bind", w / "misc.dat"), TO_OLD, BUSY,
        marks=linux_only),
    row("old destfile in an append-only directory", lambda w: w.append_only("ao"), ["001.dat", "ao/old.bmp"],
        DEST + NOT_PERMITTED, marks=linux_only),
    # Its root directory takes the tmpfs's one inode.
    row("destfile on a filesystem without free inodes", steps(lambda w: w.mkdir("full"), lambda w: w.mount("full",
        "-t", "tmpfs", "-o", "size=1m,nr_inodes=1", "tmpfs")), ["001.dat", "full/new.bmp"], DEST + NO_SPACE,
        marks=root),
    row("old destfile is immutable", lambda w: w.chattr("old.bmp", "i"), TO_OLD, DEST + NOT_PERMITTED, marks=root),
    row("append-only old destfile", lambda w: w.chattr("old.bmp", "a"), TO_OLD, DEST + NOT_PERMITTED, marks=linux_only),
    row("old destfile is read-only, to its owner", others_file(65534, 0o444, 0o777), TO_OLD, DEST + DENIED, marks=root),
    # The same file by identity, whatever its names, before permissions are looked at.
    row("destfile is the sourcefile", nothing, ["001.dat", "001.dat"], BUSY, marks=memcheck),
    row("destfile is a hard link to the sourcefile", lambda w: os.link(w / "001.dat", w / "hard.bmp"),
        ["001.dat", "hard.bmp"], BUSY),
    row("destfile is a symbolic link to the sourcefile", lambda w: w.link("link.bmp", "001.dat"), TO_LINK, BUSY),
    row("sourcefile is a symbolic link to the destfile", lambda w: w.link("0link.dat", "001.dat"),
        ["0link.dat", "001.dat"], BUSY),
    row("destfile is the read-only sourcefile, for another user", others_file(0, 0o444, 0o755, "001.dat"),
        ["001.dat", "001.dat"], BUSY, marks=root),
    # Windows names: forbidden characters, absent devices, and names that have no exact form in the ANSI code page
    # (wine's is cp1252 here), with the look-alike that best-fit conversion would have used there.
    *(row(name, *values, marks=wine) for name, *values in [
        ("destfile with a character Windows forbids", nothing, ["001.dat", "a<b.bmp"], DEST + INVALID),
        ("destfile names a stream of a file", nothing, ["001.dat", "old.bmp:ads"], DEST + INVALID),
        ("destfile is an absent printer port", nothing, ["001.dat", "LPT1"], DEST + "{ENODEV}"),
        ("sourcefile name not in the code page", lambda w: w.write("0a.dat", w.scrambled), ["0ā.dat", "new.bmp"],
         SOURCE + INVALID),
        ("destfile name not in the code page", lambda w: w.write("a.bmp", OLD), ["001.dat", "ā.bmp"], DEST + INVALID),
        ("destfile of full-width dots and a division slash, not a way up", lambda w: w.mkdir("sub"),
         ["001.dat", "sub/．．∕a.bmp"], DEST + INVALID),
        # The '?' put in for a missing character is refused in names, but not in a folder that a way up undoes.
        ("destfile through a folder the code page lacks", nothing, ["001.dat", "ā\\..\\new.bmp"], DEST + INVALID),
        ("sourcefile through a folder the code page lacks", nothing, ["0ā\\..\\001.dat", "new.bmp"], SOURCE + INVALID),
        # In code page 932 the second byte of 表 is a backslash, which is no separator there.
        ("sourcefile below a file, in code page 932", lambda w: {"locale": "ja_JP.UTF-8"}, ["001.dat\\表", "new.bmp"],
         SOURCE + "{ENOTDIR}"),
        # wine shows a file without write permission as read-only, and lets root open it for writing all the same.
        ("old destfile is read-only, to root too", lambda w: os.chmod(w / "old.bmp", 0o444), TO_OLD, DEST + DENIED),
        # wine reports the limit as a device failure (ERROR_GEN_FAILURE).
        ("destfile past the file size limit, under wine", lambda w: file_size_limit(w, ignore_signal=True), TO_OLD,
         WRITE + "{EIO}"),
    ]),
    row("empty sourcefile", lambda w: w.write("0short.dat", b""), ["0short.dat", "new.bmp"], TOO_SHORT, marks=memcheck),
    row("sourcefile of 1077 bytes", lambda w: w.write("0short.dat", w.scrambled[:1077]), SHORT_TO_OLD, TOO_SHORT),
    # Nowhere to report to: the message is lost, and nothing of it lands in the destfile.
    row("sourcefile of 1077 bytes, without standard error", steps(lambda w: w.write("0short.dat", w.scrambled[:1077]),
        lambda w: {"preexec_fn": lambda: os.close(2)}), SHORT_TO_OLD, None),
    row("sourcefile of 4 GiB", lambda w: w.sparse("0big.dat", 4 << 30), ["0big.dat", "old.bmp"], BIG, marks=memcheck),
    row("sourcefile is a FIFO without a writer", lambda w: os.mkfifo(w / "0fifo"), ["0fifo", "new.bmp"], UNSIZED,
        marks=(posix, memcheck)),
    # Sized at a page, shorter when read: as a file that shrank after it was sized.
    row("sourcefile in /sys, shorter than its size", lambda w: w.link("0sys.dat", "/sys/devices/system/cpu/online"),
        ["0sys.dat", "new.bmp"], SHORT, marks=posix),
    row("sourcefile in /proc, of no size", lambda w: w.link("0proc.dat", "/proc/self/status"),
        ["0proc.dat", "new.bmp"], BUFFER + INVALID, marks=posix),
    row("destfile is a full device", nothing, ["001.dat", "/dev/full"], WRITE + NO_SPACE, marks=(posix, memcheck)),
    row("destfile is a block device too small for the bitmap", lambda w: w.loop("disk.bmp", 100 << 10),
        ["001.dat", "disk.bmp"], DEST + NO_SPACE, marks=root),
    row("old destfile is another user's in a sticky directory", others_file(1000, 0o666, 0o1777), TO_OLD,
        WRITE + NOT_PERMITTED, marks=root),
    row("destfile past the file size limit", file_size_limit, TO_OLD, WRITE + "{EFBIG}", marks=(posix, memcheck)),
    row("destfile and report past the file size limit: the report is lost", lambda w: file_size_limit(w, size=0),
        TO_OLD, None, marks=posix),
]


@pytest.mark.parametrize("setup, args, message", FAILURES)
def test_failure_reports_once_and_changes_nothing(work, setup, args, message):
    # A failure comes at once: nothing waits for a peer.
    result, changed = work.outcome(args, **{"timeout": 30, **(setup(work) or {})})
    said = (usage(work), "") if message == USAGE else ("", work.tool.words(message) + "\n" if message else "")
    assert (result, changed) == ((1, *said), {})

