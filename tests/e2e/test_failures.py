"""Each failure: one exact line on standard error, status 1, and the
directory exactly as it was (old destfile kept, nothing new, no temporary)."""
import os
import resource
import signal
import socket
import subprocess
from pathlib import Path

import pytest

from conftest import CHECKER_FAILED, OLD, as_user, nothing, steps

posix = pytest.mark.posix
mounts = pytest.mark.mounts
linux_only = (posix, mounts, pytest.mark.linux)  # refused only where the kernel tells the host
traced = (posix, pytest.mark.strace)
memcheck = pytest.mark.memcheck  # each kind of failure once: the row runs under memcheck too
wine = pytest.mark.wine
LONG = "a" * 63  # with a leading character, one byte past the name buffers


def first_calls(w, args):
    """When each system call first occurs on a successful run of args."""
    first = {}
    for name, when in w.tool.trace(args, w.path):
        first.setdefault(name, when)
    os.unlink(w / args[1])
    return first


def empty_read(w):
    # Past the datfile's read, the sourcefile's: it ends early, as a file
    # that shrank after it was sized.
    reads = [when for name, when in w.tool.trace(["001.dat", "new.bmp"], w.path) if name == "read"]
    os.unlink(w / "new.bmp")
    return {"wrap": w.tool.inject(f"read:retval=0:when={reads[1]}")}


def no_memory(w):
    if w.tool.sanitized:
        pytest.skip("the sanitizer's allocator holds memory before the tool starts")
    first = first_calls(w, ["001.dat", "new.bmp"])
    if "brk" not in first:
        pytest.skip("a static C library sets up its heap before the tool starts")
    # From the tool's first request on, the kernel grants no memory.
    return {"wrap": w.tool.inject(f"brk:retval=0:when={first['brk']}+",
                                  f"mmap:error=ENOMEM:when={first['mmap']}+")}


def file_size_limit(w, ignore_signal=False):
    def limit():
        if ignore_signal:  # a Windows program does not know SIGXFSZ; wine leaves it fatal
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (100000, 100000))
    return {"preexec_fn": limit}


def writerless_fifo(name):
    def setup(w):
        if name == "misc.dat":
            w.remove(name)
        w.fifo(name)
        return {"timeout": 10}  # promptly, not waiting for a writer
    return setup


def planted_link(w):
    # With protected_symlinks, a link in a sticky world-writable directory
    # is followed only by its owner or the directory's.
    sysctl = Path("/proc/sys/fs/protected_symlinks")
    old = sysctl.read_text()
    sysctl.write_text("1")
    w.cleanups.append(lambda: sysctl.write_text(old))
    w.link("sticky/out.bmp", str(w / "old.bmp"))
    os.chmod(w / "sticky", 0o1777)
    os.lchown(w / "sticky/out.bmp", 1234, 1234)


def socket_file(w):
    with socket.socket(socket.AF_UNIX) as s:
        s.bind(str(w / "sock.bmp"))


def bind_mounted(w):
    w.write("over.bmp", b"mounted over old.bmp\n")
    subprocess.run(["mount", "--bind", w / "over.bmp", w / "old.bmp"], check=True)
    w.cleanups.append(lambda: subprocess.run(["umount", w / "old.bmp"], check=True))


def others_in_a_sticky_directory(w):
    os.chmod(w.path, 0o1777)
    os.chown(w / "old.bmp", 1000, 1000)
    os.chmod(w / "old.bmp", 0o666)
    return as_user(65534)


def no_free_inodes(w):
    w.mkdir("full")
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m,nr_inodes=8", "tmpfs", w / "full"], check=True)
    w.cleanups.append(lambda: subprocess.run(["umount", w / "full"], check=True))
    for i in range(8):
        try:
            w.write(f"full/{i}", b"")
        except OSError:
            break


def read_only_for_another_user(w):
    os.chmod(w / "001.dat", 0o444)
    os.chmod(w.path, 0o755)
    return as_user(65534)


BUSY = "Can't create destfile: Device or resource busy"
TOO_SHORT = "Sourcefile is too short to be restored: Invalid argument"
GIANT = "Couldn't allocate the data buffer: File too large"
INEXACT_SOURCE = "Can't open sourcefile: Invalid argument"
INEXACT_DEST = "Can't create destfile: Invalid argument"

FAILURES = [
    pytest.param(lambda w: w.remove("misc.dat"), ["001.dat", "new.bmp"],
                 "Can't open datfile: No such file or directory", id="no misc.dat", marks=memcheck),
    pytest.param(lambda w: w.write("misc.dat", w.block[:1029]), ["001.dat", "new.bmp"],
                 "Something is screwy with ReadFile: Success", id="misc.dat of 1029 bytes", marks=memcheck),
    pytest.param(steps(lambda w: w.remove("misc.dat"), lambda w: w.mkdir("misc.dat")), ["001.dat", "new.bmp"],
                 "Can't open datfile: Is a directory", id="misc.dat is a directory"),
    pytest.param(writerless_fifo("misc.dat"), ["001.dat", "new.bmp"],
                 "Something is screwy with ReadFile: Success", id="misc.dat is a FIFO without a writer",
                 marks=posix),
    pytest.param(no_memory, ["001.dat", "new.bmp"],
                 "Couldn't allocate the dat buffer: Cannot allocate memory",
                 id="no memory for the dat buffer", marks=traced),
    pytest.param(nothing, ["002.dat", "new.bmp"],
                 "Can't open sourcefile: No such file or directory", id="missing sourcefile", marks=memcheck),
    pytest.param(nothing, ["0", "new.bmp"],
                 "Can't open sourcefile: No such file or directory", id="sourcefile named 0"),
    pytest.param(nothing, ["0abc", "old.bmp"],
                 "Can't open sourcefile: No such file or directory", id="sourcefile named 0abc"),
    pytest.param(lambda w: w.mkdir("0dir"), ["0dir", "new.bmp"],
                 "Can't open sourcefile: Is a directory", id="sourcefile is a directory", marks=memcheck),
    pytest.param(nothing, ["0" + LONG, "new.bmp"],
                 "Can't open sourcefile: File name too long", id="sourcefile name of 64 bytes", marks=memcheck),
    pytest.param(nothing, ["0" + LONG * 4, "new.bmp"],
                 "Can't open sourcefile: File name too long", id="sourcefile name of 253 bytes"),
    pytest.param(nothing, ["001.dat", "b" + LONG],
                 "Can't create destfile: File name too long", id="destfile name of 64 bytes", marks=memcheck),
    pytest.param(nothing, ["001.dat", "nodir/new.bmp"],
                 "Can't create destfile: No such file or directory", id="destfile in a missing directory",
                 marks=memcheck),
    pytest.param(nothing, ["001.dat", ""],
                 "Can't create destfile: No such file or directory", id="empty destfile name"),
    pytest.param(nothing, ["001.dat", "old.bmp/"],
                 "Can't create destfile: Not a directory", id="destfile below a file"),
    pytest.param(lambda w: w.mkdir("dir.bmp"), ["001.dat", "dir.bmp"],
                 "Can't create destfile: Is a directory", id="destfile is a directory"),
    pytest.param(steps(lambda w: w.mkdir("dir"), lambda w: w.link("dir.bmp", "dir")), ["001.dat", "dir.bmp"],
                 "Can't create destfile: Is a directory", id="destfile links to a directory"),
    pytest.param(lambda w: w.link("link.bmp", "target.bmp"), ["001.dat", "link.bmp"],
                 "Can't create destfile: No such file or directory", id="destfile is a dangling link",
                 marks=posix),
    pytest.param(lambda w: w.link("loop.bmp", "loop.bmp"), ["001.dat", "loop.bmp"],
                 "Can't create destfile: Too many levels of symbolic links", id="destfile is a link loop"),
    pytest.param(planted_link, ["001.dat", "sticky/out.bmp"], "Can't create destfile: Permission denied",
                 id="destfile is another user's link in a sticky directory", marks=(posix, mounts)),
    pytest.param(socket_file, ["001.dat", "sock.bmp"], "Can't create destfile: No such device or address",
                 id="destfile is a socket", marks=posix),
    pytest.param(bind_mounted, ["001.dat", "old.bmp"], BUSY, id="destfile is a mount point",
                 marks=linux_only),
    pytest.param(lambda w: w.append_only("ao"), ["001.dat", "ao/old.bmp"],
                 "Can't create destfile: Operation not permitted",
                 id="old destfile in an append-only directory", marks=linux_only),
    pytest.param(no_free_inodes, ["001.dat", "full/new.bmp"], "Can't create destfile: No space left on device",
                 id="destfile on a filesystem without free inodes", marks=(posix, mounts)),
    pytest.param(lambda w: w.chattr("old.bmp", "i"), ["001.dat", "old.bmp"],
                 "Can't create destfile: Operation not permitted", id="old destfile is immutable",
                 marks=(posix, mounts)),
    pytest.param(nothing, ["001.dat", "001.dat"], BUSY, id="destfile is the sourcefile", marks=memcheck),
    pytest.param(lambda w: os.link(w / "001.dat", w / "hard.bmp"), ["001.dat", "hard.bmp"], BUSY,
                 id="destfile is a hard link to the sourcefile"),
    pytest.param(lambda w: w.link("link.bmp", "001.dat"), ["001.dat", "link.bmp"], BUSY,
                 id="destfile is a symbolic link to the sourcefile"),
    pytest.param(lambda w: w.link("0link.dat", "001.dat"), ["0link.dat", "001.dat"], BUSY,
                 id="sourcefile is a symbolic link to the destfile"),
    pytest.param(lambda w: w.mkdir("sub"), ["001.dat", "sub/../001.dat"], BUSY,
                 id="destfile is the sourcefile by another path"),
    pytest.param(read_only_for_another_user, ["001.dat", "001.dat"], BUSY,
                 id="destfile is the read-only sourcefile, for another user", marks=(posix, mounts)),
    # Windows names: forbidden characters, absent devices, and names that
    # have no exact form in the ANSI code page (wine's is cp1252 here),
    # with the look-alike that best-fit conversion would have used there.
    pytest.param(nothing, ["001.dat", "a<b.bmp"], "Can't create destfile: Invalid argument",
                 id="destfile with a character Windows forbids", marks=wine),
    pytest.param(nothing, ["001.dat", "LPT1"], "Something is screwy with WriteFile: No such device",
                 id="destfile is an absent printer port", marks=wine),
    pytest.param(lambda w: w.write("0a.dat", w.scrambled), ["0ā.dat", "new.bmp"], INEXACT_SOURCE,
                 id="sourcefile name not in the code page", marks=wine),
    pytest.param(lambda w: w.write("a.bmp", OLD), ["001.dat", "ā.bmp"], INEXACT_DEST,
                 id="destfile name not in the code page", marks=wine),
    pytest.param(lambda w: w.mkdir("sub"), ["001.dat", "sub/．．∕a.bmp"], INEXACT_DEST,
                 id="destfile of full-width dots and a division slash, not a way up", marks=wine),
    pytest.param(lambda w: w.write("0short.dat", b""), ["0short.dat", "new.bmp"], TOO_SHORT,
                 id="empty sourcefile", marks=memcheck),
    pytest.param(lambda w: w.write("0short.dat", b"\x01"), ["0short.dat", "old.bmp"], TOO_SHORT,
                 id="sourcefile of 1 byte"),
    pytest.param(lambda w: w.write("0short.dat", w.scrambled[:1077]), ["0short.dat", "old.bmp"],
                 TOO_SHORT, id="sourcefile of 1077 bytes"),
    pytest.param(lambda w: w.sparse("0giant.dat", 4 << 30), ["0giant.dat", "old.bmp"], GIANT,
                 id="sourcefile of 4 GiB", marks=memcheck),
    pytest.param(lambda w: w.sparse("0giant.dat", (4 << 30) + 1078), ["0giant.dat", "new.bmp"], GIANT,
                 id="sourcefile above 4 GiB"),
    pytest.param(lambda w: w.fifo("0fifo", keep_open=True), ["0fifo", "old.bmp"],
                 "Couldn't allocate the data buffer: Illegal seek",
                 id="sourcefile of unknown size", marks=(posix, memcheck)),
    pytest.param(writerless_fifo("0fifo"), ["0fifo", "new.bmp"],
                 "Couldn't allocate the data buffer: Illegal seek", id="sourcefile is a FIFO without a writer",
                 marks=posix),
    pytest.param(empty_read, ["001.dat", "new.bmp"],
                 "Something is screwy with ReadFile: Success", id="sourcefile ends early", marks=traced),
    pytest.param(lambda w: w.link("0sys.dat", "/sys/devices/system/cpu/online"), ["0sys.dat", "new.bmp"],
                 "Something is screwy with ReadFile: Success", id="sourcefile in /sys, shorter than its size",
                 marks=posix),
    pytest.param(lambda w: w.link("0proc.dat", "/proc/self/status"), ["0proc.dat", "new.bmp"],
                 "Couldn't allocate the data buffer: Invalid argument", id="sourcefile in /proc, of no size",
                 marks=posix),
    pytest.param(nothing, ["001.dat", "/dev/full"],
                 "Something is screwy with WriteFile: No space left on device",
                 id="destfile is a full device", marks=(posix, memcheck)),
    pytest.param(others_in_a_sticky_directory, ["001.dat", "old.bmp"],
                 "Something is screwy with WriteFile: Operation not permitted",
                 id="old destfile is another user's in a sticky directory", marks=(posix, mounts)),
    pytest.param(file_size_limit, ["001.dat", "old.bmp"],
                 "Something is screwy with WriteFile: File too large",
                 id="destfile past the file size limit", marks=(posix, memcheck)),
    # wine reports the limit as a device failure (ERROR_GEN_FAILURE).
    pytest.param(lambda w: file_size_limit(w, ignore_signal=True), ["001.dat", "old.bmp"],
                 "Something is screwy with WriteFile: Input/output error",
                 id="destfile past the file size limit, under wine", marks=wine),
]


@pytest.mark.parametrize("setup, args, message", FAILURES)
def test_failure_reports_once_and_changes_nothing(work, setup, args, message):
    run = setup(work) or {}
    before = work.snapshot()
    result = work.run(args, **run)
    assert (result.status, result.stdout, result.stderr) == (1, "", message + "\n")
    assert work.snapshot() == before


VALGRIND = ["valgrind", "-q", f"--error-exitcode={CHECKER_FAILED}", "--leak-check=full",
            "--show-leak-kinds=all", "--errors-for-leak-kinds=all"]


@pytest.mark.valgrind
@pytest.mark.posix
@pytest.mark.parametrize("setup, args, message, status", [
    pytest.param(nothing, ["001.dat", "new.bmp"], "", 0, id="success"),
    pytest.param(nothing, ["1.dat", "new.bmp"], "", 1, id="usage"),
    *(pytest.param(*row.values, 1, id=row.id, marks=row.marks)
      for row in FAILURES if any(mark.name == "memcheck" for mark in row.marks)),
])
def test_memcheck_finds_no_error_and_no_leak(work, setup, args, message, status):
    run = setup(work) or {}
    result = work.run(args, wrap=VALGRIND, **run)
    assert (result.status, result.stderr) == (status, message + "\n" if message else "")
