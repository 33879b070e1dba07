"""Hostile surroundings: kernel names of open files, deaths, a caller's signals and limits, another user's files."""
import fcntl
import os
import signal
import stat
import subprocess
import tempfile
import time
from contextlib import ExitStack
from pathlib import Path

import pytest

from conftest import CAPABILITY, OLD, WRITE, Result, as_user, calls, marked, mounted, row, run

posix, linux, mounts, strace = pytest.mark.posix, pytest.mark.linux, pytest.mark.mounts, pytest.mark.strace


def named_temporary(w):
    """Faults that refuse the unnamed temporary: the run makes a named one, as the portable host does."""
    return [] if w.tool.portable else [f"openat:error=EOPNOTSUPP:when={calls(w, 'O_TMPFILE')['openat'][0]}"]


def killed_at_write(sig):
    # Signals are caught while a named temporary exists: only SIGKILL is left to an unnamed one.
    def death(w):
        named = named_temporary(w) if sig != signal.SIGKILL else []
        return {"wrap": w.tool.inject(f"write:signal={sig.name}:when=1", *named),
                "preexec_fn": lambda: sig == signal.SIGKILL or signal.signal(sig, signal.SIG_DFL)}
    return death


def opened(name, flags, content, position=0):
    """A file of the caller's, open with flags, holding content, at position; unlinked if no name."""
    def setup(w):
        w.write(name or "gone.bmp", content)
        fd = os.open(w / (name or "gone.bmp"), flags)
        w.cleanups.append(lambda: os.close(fd))
        os.lseek(fd, position, os.SEEK_SET)
        if not name:
            w.remove("gone.bmp")
        return fd
    return setup


def on_image(kind, *options, default_acl=None):
    """The old destfile on a fresh filesystem of that kind, mounted with those options until the test ends, its root
    given default_acl."""
    def place(w):
        w.mkdir("fs")
        stack = ExitStack()
        w.cleanups.append(stack.close)
        point = stack.enter_context(mounted(kind, w / "fs", options))
        if default_acl:
            run("setfacl", "-d", "-m", default_acl, point)
        return f"{point.relative_to(w.path)}/"
    return place


X = b"x" * 400000  # longer than the bitmap: nothing of it may be cut
AFTER_EARLIER = (lambda w: b"earlier\n" + w.original + b"trailer\n")  # noqa: E731
APPENDED, DELETED = opened("out.bin", os.O_WRONLY | os.O_APPEND, b"earlier\n", 0), opened(None, os.O_RDWR, X, 100)
LINK = "linkat:delay_enter=1500000:when=1"  # the new file is written, its link waits
MEMBER, OUTSIDER = as_user(65534, 1000), as_user(65534)
# The run on the image remounted without ACLs, which btrfs still lists but will not give; then with them again.
WITHOUT_ACLS = (lambda w: {"wrap": ["sh", "-c", 'mount -o remount,noacl "$0" && "$@"; s=$?; mount -o remount,acl "$0"; '
                                   'exit $s', w / "fs/mnt"]})
NAMED_ACL = "u::rw-,u:65534:rw-,g::r--,m::rw-,o::---"  # mode 660, the group's own entry r--
KEPT_ACL = "user::rw- user:65534:rw- group::r-- mask::rw- other::---"
IN_NAMESPACE = {"wrap": ["unshare", "-U", "-r"]}  # where only the process's own id maps
UNMAPPED_ACL = "u::rw-,u:1:rw-,g::r--,m::rw-,o::---"  # mode 660, the group's own entry r--; uid 1 maps in no namespace
ACL_REFUSED = (lambda w: {"wrap": w.tool.inject("fsetxattr:error=EINVAL:when=1")})


umask = (lambda mask: {"preexec_fn": lambda: os.umask(mask)})  # noqa: E731


def OTHERS(w):  # noqa: N802
    """Another user's private set-ID file, with a file capability, as other."""
    w.write("other", OLD)
    os.chown(w / "other", 1000, 1000)
    os.chmod(w / "other", 0o6600)
    os.setxattr(w / "other", "security.capability", CAPABILITY)


# A name of one of the tool's own descriptors is the caller's open file, written at its position (appending if open so),
# never replaced nor cut; /dev/stdout of a pipe is the pipe. A closed one is gone; another process's is no caller's.
# {own} is the tool's pid, {proc} a second procfs mount.
@posix
@pytest.mark.parametrize("dest, opener, stream, expected", [
    row("/dev/stdout appended to a file, then more", "/dev/stdout", APPENDED, "stdout", AFTER_EARLIER),
    *(row(f"{name} appended to a file, then more", dest, APPENDED, "stdout", AFTER_EARLIER, marks=marks)
      for name, dest, marks in [("/proc/thread-self/fd/N", "/proc/thread-self/fd/1", ()),
                                ("its own /proc/PID/task/TID/fd/N", "/proc/{own}/task/{own}/fd/1", ()),
                                ("a second procfs's self/fd/N", "{proc}/self/fd/1", pytest.mark.mounts),
                                ("a second procfs's PID/fd/N", "{proc}/{own}/fd/1", pytest.mark.mounts)]),
    row("/dev/fd/N of a deleted file", "/dev/fd/{}", DELETED, None,
        lambda w: X[:100] + w.original + X[100 + len(w.original):]),
    row("another process's /proc/PID/fd/N of a deleted file is cut, not the caller's", "/proc/{pid}/fd/{}", DELETED,
        None, lambda w: w.original),
    row("another process's /proc/PID/fd/N of a deleted file is cut, whatever file has the name its link reads",
        "/proc/{pid}/fd/{}", lambda w: (DELETED(w), w.write("gone.bmp (deleted)", OLD))[0], None,
        lambda w: w.original),
    row("/dev/stdin open for reading only is refused", "/dev/stdin", opened("in.bmp", os.O_RDONLY, OLD), "stdin", None),
    *(row(f"{dest.format(fd)} closed is refused", dest, lambda w, fd=fd: fd, "closed", None)
      for dest, fd in [("/dev/stdout", 1), ("/dev/fd/{}", 1), ("/proc/self/fd/{}", 1), ("/dev/stderr", 2)]),
])
def test_own_descriptor_destfile_is_the_open_file_it_names(work, dest, opener, stream, expected):
    fd, before = opener(work), work.snapshot()
    dest = dest.format(fd, pid=os.getpid(), own="{own}", proc=work.procfs() if "{proc}" in dest else "")
    hooks = [lambda: os.close(fd)] if stream == "closed" else []
    if "{own}" in dest:  # known only in the tool's process: a link to the name, made there
        hooks.append(lambda target=dest: os.symlink(target.format(own=os.getpid()), work / "own.bmp"))
        dest = "own.bmp"
    streams = {stream: fd} if stream and stream != "closed" else {}
    process = work.tool.start(["001.dat", dest], work.path, pass_fds=[fd], **streams,
                              preexec_fn=lambda: [hook() for hook in hooks])
    err = process.communicate(timeout=60)[1]  # the bytes as they are
    if stream == "stdout":  # the caller writes on after the tool, into the same file
        os.write(fd, b"trailer\n")
        before.pop("out.bin")
    # Read through the descriptor: a file replaced under its name would show here as unwritten.
    received = expected and Path(f"/proc/self/fd/{fd}").read_bytes()
    refusal = b"" if (stream, fd) == ("closed", 2) else b"Can't create destfile: Bad file descriptor\n"  # no stderr
    assert (process.returncode, err, received == expected(work)) == (0, b"", True) if expected else \
        (process.returncode, err) == (1, refusal)
    assert {name: seen for name, seen in work.snapshot().items() if name not in ("out.bin", "own.bmp")} == before


# A large bitmap through the caller's pipe: a reader of small pieces (an image decoder reading a header) gets every
# byte, as from any writer, and the caller's open file keeps its flags (O_DIRECT would make a pipe of packets that a
# short read cuts), also once the tool (with timeout, its group) is killed mid-write, where nothing could set them back.
@posix
@pytest.mark.parametrize("size, reader, blocking, wrap", [
    *(row(f"{size} MiB", size << 20, "exec dd bs=1000 status=none", True, ()) for size in (3, 64)),
    row("3 MiB into a non-blocking pipe, read late", 3 << 20, "sleep 1; exec dd bs=1000 status=none", False, ()),
    row("3 MiB into a pipe read only after the tool is killed mid-write", 3 << 20, "sleep 3; exec cat", True,
        ["timeout", "-s", "KILL", "1"]),
])
def test_caller_pipe_gets_every_byte_and_keeps_its_flags(work, size, reader, blocking, wrap):
    tail = bytes(range(256)) * (size >> 8) + b"odd"
    work.write("0big.dat", work.scrambled + tail)
    with tempfile.TemporaryFile() as received:
        consumer = subprocess.Popen(["sh", "-c", reader], stdin=subprocess.PIPE, stdout=received)
        pipe = consumer.stdin.fileno()
        os.set_blocking(pipe, blocking)
        flags = fcntl.fcntl(pipe, fcntl.F_GETFL)
        result = work.run(["0big.dat", "/dev/stdout"], stdout=pipe, wrap=wrap)
        assert fcntl.fcntl(pipe, fcntl.F_GETFL) == flags
        consumer.communicate(timeout=60)
        whole = os.pread(received.fileno(), 1 << 27, 0) == work.original + tail
        assert (result.status, result.stderr, whole) == ((-signal.SIGKILL, "", False) if wrap else (0, "", True))


# Nothing but a rename touches the old file, under wine too: a write-open would break a read lease (and wake a watcher
# of writes, or meet a running program's ETXTBSY). Reading what is kept asks a write lease to break, not waiting 45 s as
# the kernel would.
@pytest.mark.parametrize("write, untouched", [
    row("a read lease is not broken", False, ""),
    row("a write lease is not waited for", True, "lease broken", marks=(posix, linux)),
])
def test_old_file_in_use_is_replaced_undisturbed(work, write, untouched):
    heard = []  # a lease of the test's own on old.bmp, and what it heard of breaks
    previous = signal.signal(signal.SIGIO, lambda *_: heard.append("lease broken"))
    fd = os.open(work / "old.bmp", os.O_RDWR if write else os.O_RDONLY)
    work.cleanups.append(lambda: (os.close(fd), signal.signal(signal.SIGIO, previous)))
    fcntl.fcntl(fd, fcntl.F_SETLEASE, fcntl.F_WRLCK if write else fcntl.F_RDLCK)
    assert (work.run(["001.dat", "old.bmp"], timeout=10), "".join(heard)) == (Result(0, "", ""), untouched)
    assert (work / "old.bmp").read_bytes() == work.original


# A death leaves the directory as it was. A signal the caller
# blocked, or ignored as nohup does SIGHUP (also where a named temporary has signals caught), stays so: the whole
# conversion is left. Over an old destfile the unnamed file is linked under a temporary name, then renamed: a signal
# between them waits.
@posix
@pytest.mark.parametrize("dest", ["new.bmp", "old.bmp"])
@pytest.mark.parametrize("how, status, replaced", [
    # Only an unnamed new file survives SIGKILL without a trace.
    *(row(f"{sig.name} at the write", killed_at_write(sig), -sig, False,
          marks=(strace, linux) if sig == signal.SIGKILL else strace)
      for sig in (signal.SIGKILL, signal.SIGQUIT, signal.SIGALRM, signal.SIGUSR1, signal.SIGPIPE, signal.SIGINT,
                  signal.SIGTERM, signal.SIGHUP)),
    row("SIGTERM blocked at the write", lambda w: {"wrap": w.tool.inject("write:signal=SIGTERM:when=1"), "preexec_fn":
                                                   lambda: signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM})},
        0, True, marks=strace),
    row("SIGHUP ignored at the write", lambda w: {"wrap": w.tool.inject("write:signal=SIGHUP:when=1", *named_temporary(
        w)), "preexec_fn": lambda: signal.signal(signal.SIGHUP, signal.SIG_IGN)}, 0, True, marks=strace),
    row("SIGTERM at the link", lambda w: {"wrap": w.tool.inject("linkat:signal=SIGTERM:when=1")}, -signal.SIGTERM,
        True, marks=(strace, linux)),
])
def test_signal_or_death_leaves_the_old_or_the_whole_conversion(work, dest, how, status, replaced):
    result, changed = work.outcome(["001.dat", dest], **how(work))
    assert (result[::2], {name: seen[0] for name, seen in changed.items()}) == \
        ((status, ""), {dest: work.original} if replaced else {})


# Another program puts a file under the destfile's name while the run links the new file or looks at the name (a
# run's open calls from misc.dat's on: {2} the name's, {5} the name's once a link found it taken): that file is then
# replaced as an old destfile is, with every check and all that is kept, or not at all; a device is no file to replace.
@posix
@marked(pytest.mark.mounts, pytest.mark.strace, linux)
@pytest.mark.parametrize("faults, directory, dest, message, put", [
    row("another user's private set-ID file is kept as it was, but for its bytes", [LINK], None, "new.bmp", "", OTHERS),
    row("a file in an append-only directory is refused", [LINK], "a", "new.bmp", WRITE + "{EPERM}\n", OTHERS),
    row("a name that changes again while it is looked at is looked at again", [LINK, "{5}:error=ENOENT"],
        None, "new.bmp", "", OTHERS),
    row("an old destfile replaced while it is looked at is looked at again", ["{2}:delay_exit=1500000"],
        None, "old.bmp", "", OTHERS),
    row("a link to a device is left as it is, the name taken", [LINK], None, "new.bmp", WRITE + "{EEXIST}\n",
        lambda w: w.link("other", "/dev/null")),
])
def test_file_put_under_the_name_during_the_run_is_an_old_destfile(work, faults, directory, dest, message, put):
    # As strace names them: the C library may open by open or openat; the next look is the name's call again.
    opens = [(name, when) for name, when in work.tool.trace(["001.dat", "new.bmp"], work.path) if "open" in name]
    opens.append((opens[2][0], max(when for name, when in opens if name == opens[2][0]) + 1))
    work.remove("new.bmp")
    dest = f"dir/{dest}"
    work.mkdir("dir")
    work.write("dir/old.bmp", OLD)
    if directory:
        work.chattr("dir", directory)
    faults = [fault.format(*(f"{name}:when={when}" for name, when in opens)) for fault in faults]
    process = work.tool.start(["001.dat", dest], work.path, wrap=work.tool.inject(*faults))
    time.sleep(0.5)  # until the run waits in the call held
    put(work)  # beside dest, then renamed onto it
    os.replace(work / "other", work / dest)
    had = "security.capability" in os.listxattr(work / dest)
    before = work.snapshot()
    assert work.tool.finish(process) == Result(1 if message else 0, "", work.tool.words(message))
    if not message:
        before[dest] = (work.original, *before[dest][1:])
    assert work.snapshot() == before
    # The new bytes never had the capability.
    assert ("security.capability" in os.listxattr(work / dest)) == (had and bool(message))


# Owner, group and mode as "uid:gid mode" (me: the running user's), then the ACL past the mode; an old file none: a new
# destfile. Where the ACL cannot be given again (a user namespace, refused), the group keeps its own bits, never the
# mask's.
@posix
@pytest.mark.parametrize("old, user, place, new", [
    row("a new destfile takes the umask 000", None, umask(0), None, "me:me 666"),
    row("an old destfile keeps its mode 755 under umask 077", "me:me 755", umask(0o077), None, "me:me 755"),
    row("in a user namespace the group keeps its own bits", f"me:me 0 {UNMAPPED_ACL}", IN_NAMESPACE, None,
        "me:me 640", marks=linux),
    row("another user in a user namespace: the group keeps its own bits", f"65534:65534 0 {UNMAPPED_ACL}",
        {**IN_NAMESPACE, **OUTSIDER}, None, "65534:65534 640", marks=(linux, mounts)),
    row("with the ACL refused the group keeps its own bits", f"me:me 0 {UNMAPPED_ACL}", ACL_REFUSED, None,
        "me:me 640", marks=(linux, strace)),
    row("with the ACL refused the group keeps no more than a narrower mask gave",
        "me:me 0 u::rw-,u:1:rw-,g::rw-,m::r--,o::---", ACL_REFUSED, None, "me:me 640", marks=(linux, strace)),
    row("an old destfile whose mode cannot be given keeps the temporary's private one", "me:me 644",
        lambda w: {"wrap": w.tool.inject("fchmod:error=EPERM", "fsetxattr:error=EPERM"), **umask(0)}, None,
        "me:me 600", marks=strace),
    *(row(name, *values, marks=mounts) for name, *values in [
        ("root keeps the group of a file of its own", "0:1000 2775", None, None, "0:1000 2775"),
        # Without group execute permission, so that writing the file keeps set-group-ID.
        ("a group member drops set-user-ID with the owner, keeps set-group-ID", "1000:1000 6664", MEMBER, None,
         "65534:1000 2664"),
        ("an outsider drops both set-ID bits", "1000:1000 6666", OUTSIDER, None, "65534:65534 666"),
        ("an outsider gives its own group no more than other had", "1000:1000 676", OUTSIDER, None, "65534:65534 666"),
        ("an outsider named in the ACL gives its own group's entry no more than other had",
         f"1000:1000 0 {NAMED_ACL}", OUTSIDER, None, "65534:65534 660 " + KEPT_ACL.replace("group::r--", "group::---")),
        ("a user keeps both set-ID bits on its own file, which the write clears", "65534:65534 6755", OUTSIDER, None,
         "65534:65534 6755"),
        *((f"an outsider drops set-group-ID, its group no more than other, on {fs}", "0:0 2776", OUTSIDER,
           on_image(*image), "65534:65534 766")
          for fs, image in [("btrfs without ACLs", ("btrfs", "-o", "noacl")),
                            ("ntfs-3g", ("ntfs", "-o", "permissions"))]),
        *((f"root keeps an ACL ntfs-3g does not list{under}", f"0:0 0 {NAMED_ACL}", None,
           on_image("ntfs", "-o", "acl", default_acl=acl), f"0:0 660 {KEPT_ACL}")
          for under, acl in [("", None), (" under a default ACL", "u:1:rwx")]),
    ]),
    row("root gives an ACL that btrfs without ACLs will not give to no one but the owner",
        "0:0 0 u::rw-,g::---,m::rwx,o::---", WITHOUT_ACLS, on_image("btrfs"), "0:0 600", marks=(mounts, linux)),
])
def test_replacing_keeps_owner_group_and_mode_as_the_user_may(work, old, user, place, new):
    os.chmod(work.path, 0o777)
    dest = (place(work) if place else "") + ("old.bmp" if old else "new.bmp")
    me = f"{os.geteuid()}:{os.getegid()} "
    if old:
        owner, mode, *acl = old.replace("me:me ", me).split(" ", 2)
        work.write(dest, OLD)
        os.chmod((work / dest).parent, 0o777)
        os.chown(work / dest, *map(int, owner.split(":")))
        os.chmod(work / dest, int(mode, 8))
        if acl:
            run("setfacl", "--set", *acl, work / dest)
    assert work.run(["001.dat", dest], **(user(work) if callable(user) else user or {})) == Result(0, "", "")
    st, acl = os.stat(work / dest), run("getfacl", "-cnEs", work / dest).split()  # none past the mode: nothing
    assert " ".join([f"{st.st_uid}:{st.st_gid}", f"{stat.S_IMODE(st.st_mode):o}", *acl]) == new.replace("me:me ", me)
    assert (work / dest).read_bytes() == work.original
