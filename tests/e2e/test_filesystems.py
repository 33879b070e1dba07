"""Real filesystems, fresh on images mounted as root: conversions, a full disk, power cuts, what a replace keeps."""
import os
import resource
import shutil
import signal
import stat
import subprocess
import time

import pytest

from conftest import (CAPABILITY, FILESYSTEMS, OLD, WRITE, Result, Workdir, as_user, concurrent_runs, marked, mounted,
                      require, row, run, steps)

pytestmark = pytest.mark.mounts
posix, strace, linux, libattr = pytest.mark.posix, pytest.mark.strace, pytest.mark.linux, pytest.mark.libattr
killed = (strace, posix)
JOURNALED = ["ext4", "xfs"]  # those xfs_io can shut down
# Past 2 MiB, whole blocks are written directly where the filesystem takes it, the odd tail through the cache.
TAIL = bytes(range(256)) * 12289 + b"odd"
WINE_ROUNDS = 8


@pytest.fixture(scope="module", params=[pytest.param(kind, marks=() if kind == "tmpfs" else posix)
                                        for kind in FILESYSTEMS])
def filesystem(request, tmp_path_factory):
    with mounted(request.param, tmp_path_factory.mktemp(request.param)) as point:
        yield point


@pytest.fixture
def on_fs(filesystem, tool, bitmap):
    yield Workdir(filesystem / "work", tool, bitmap)
    for entry in filesystem.iterdir():  # the work directory, the filler
        shutil.rmtree(entry) if entry.is_dir() else entry.unlink()


@pytest.mark.parametrize("source, full", [row("with room", "001.dat", False), row("of 3 MiB", "0big.dat", False),
                                          row("on a full disk", "001.dat", True)])
@pytest.mark.parametrize("dest", ["new.bmp", "old.bmp"])
def test_converts_whole_or_fails_keeping_the_old_destfile(filesystem, on_fs, source, dest, full):
    on_fs.write("0big.dat", on_fs.scrambled + TAIL)
    # Full: room for the file itself, not for the 308 KB bitmap. Space freed before counts as free only once synced,
    # and on XFS only once its log has moved on: fill until it stays full.
    with open(filesystem / "filler", "wb") as filler:
        for _ in range(10 if full else 0):
            run("sync", "-f", filesystem)
            free = os.statvfs(filesystem)
            if (more := free.f_bavail * free.f_frsize - 200_000) <= 0:
                break
            os.posix_fallocate(filler.fileno(), os.fstat(filler.fileno()).st_size, more)
    result, changed = on_fs.outcome([source, dest])
    assert result == ((1, "", on_fs.tool.words(WRITE + "{ENOSPC}\n")) if full else (0, "", ""))
    assert {name: seen[0] for name, seen in changed.items()} == \
        ({} if full else {dest: on_fs.original + (TAIL if source == "0big.dat" else b"")})


# A filesystem that shuts down after the rename (an I/O error, a lost device) may have lost it: no success then. Had
# another program's flush made the rename last, the data it names came first.
@pytest.mark.parametrize("kind", JOURNALED)
@pytest.mark.parametrize("dest, when", [
    # wine flushes no directory: a rename it reported done may still be lost to a cut.
    row("cut right after a new destfile is written", "new.bmp", "done", marks=posix),
    row("cut right after an old destfile is replaced", "old.bmp", "done", marks=posix),
    row("cut after the replace and another program's fsync", "old.bmp", "done, fsync"),
    *(row(f"killed at the write {of}, fsync, cut", dest, "killed", marks=killed)
      for of, dest in [("of a new destfile", "new.bmp"), ("over an old destfile", "old.bmp")]),
    *(row(f"cut while {what} waits, after another program's fsync", dest, "placing", marks=killed)
      for what, dest in [("a new destfile's link", "new.bmp"), ("the rename over an old destfile", "old.bmp")]),
])
def test_power_cut_leaves_the_old_or_the_whole_new_bitmap(tool, bitmap, tmp_path, kind, dest, when):
    placing = "linkat" if dest == "new.bmp" and not tool.portable else "renameat"  # a named temporary is renamed
    wrap = {"killed": tool.inject("write:signal=SIGKILL:when=1"),  # the bitmap is its first write
            "placing": tool.inject(f"{placing}:delay_exit=3000000:when=1")}.get(when, ())
    require("xfs_io", *(["strace"] if wrap else []))
    with mounted(kind, tmp_path) as fs:
        w = Workdir(fs / "work", tool, bitmap)
        run("sync", "-f", fs)  # all of it on the disk
        before = w.snapshot()
        process, deadline = tool.start(["001.dat", dest], w.path, wrap=wrap), time.monotonic() + 20
        while when == "placing" and not ((w / dest).exists() and (w / dest).stat().st_size == len(w.original)):
            assert process.poll() is None and time.monotonic() < deadline
            time.sleep(0.01)
        result = None if when == "placing" else tool.finish(process)
        if when != "done":  # another program's fsync of an unrelated file commits the journal, with all the tool did
            with open(fs / "unrelated", "wb", buffering=0) as other:
                other.write(b"x")
                os.fsync(other.fileno())
        # The power cut: the filesystem stops where it stands, its journal unwritten.
        run("xfs_io", "-x", "-c", "shutdown", fs)
        result = result or tool.finish(process)
        run("umount", fs)
        run("mount", "-o", "loop", next(fs.parent.glob("*.img")), fs)
        # What reached the disk; SIGKILL may leave a named temporary, and only it. An old destfile keeps its mode.
        after = {name: s for name, s in w.snapshot().items() if not (wrap and tool.portable and ".dat2bmp-" in name)}
        new = dict(before, **{dest: (w.original, *before.get(dest, after.get(dest, (b"",)))[1:])})
        said, allowed = {"killed": ((-signal.SIGKILL, ""), [before]),
                         "placing": ((1, tool.words(WRITE + "{EIO}\n")), [before, new])}.get(when, ((0, ""), [new]))
        assert ((result.status, result.stderr), after in allowed) == (said, True)


# Over a new destfile the runs after the first find the name taken, and replace it as an old one. FUSE filesystems
# forget a file another run replaced while it is looked at: each run looks again. Their rename takes the old name away
# before the new file takes it. Under wine a run's look at the destfile holds off the others' renames for its moment,
# which they wait out: rounds of it.
@pytest.mark.parametrize("dest", ["old.bmp", "new.bmp"])
def test_concurrent_runs_each_leave_a_whole_conversion(filesystem, on_fs, dest):
    for _ in range(WINE_ROUNDS if on_fs.tool.wine else 1):
        on_fs.write("old.bmp", OLD)
        (on_fs / "new.bmp").unlink(missing_ok=True)
        concurrent_runs(on_fs, dest, runs=40, tail=4096, sources=4,
                        gaps=filesystem.parent.name.startswith(("exfat", "ntfs")))


# What a replaced file keeps: its ACL, extended attributes and inode flags, on the filesystems that have them all.
def kept(path):
    """What users see a replace carry over: group, mode, ACL (getfacl), other extended attributes, flags (lsattr)."""
    st = os.stat(path)
    seen = {"group": st.st_gid, "mode": oct(stat.S_IMODE(st.st_mode)), "acl": run("getfacl", "-cnE", path).split()}
    seen.update((name, os.getxattr(path, name)) for name in os.listxattr(path) if not name.startswith("system."))
    project, flags = run("lsattr", "-dp", path).split()[:2]
    seen.update((f"+{flag}", True) for flag in flags.replace("-", ""))
    return dict(seen, project=project)


def on(*commands):
    """Each command run, its last word a name in the workdir."""
    return steps(*(lambda w, words=command.split(): run(*words[:-1], w / words[-1]) for command in commands))


def injected(*faults):
    return lambda w: {"wrap": w.tool.inject(*faults)}


def project(w):
    """Project id 42: XFS, and ext4 made with project quotas (which need the kernel's quota support)."""
    if subprocess.run(["chattr", "-p", "42", w / "old.bmp"], capture_output=True).returncode:
        pytest.skip("this filesystem has no project ids")


def many_attributes(w):
    """2,100 user attributes, their names together past the 64 KiB the kernel lists."""
    for i in range(2100):
        try:
            os.setxattr(w / "old.bmp", f"user.attribute-of-a-long-name-{i:04}", b"x")
        except OSError as error:
            pytest.skip(f"this filesystem holds {i} attributes: {error}")


KEEPING = ["ext4", "xfs", "btrfs", "tmpfs"]
# How a run starts: as root; as another user, in the old file's group 1000; as root, the first FS_IOC_SETFLAGS refused
# as for one flag the filesystem does not take (the third ioctl: the old file's flags and project are read first).
ROOT, USER = {}, as_user(65534, 1000)
ORIGIN = "setfattr -n user.origin -v x old.bmp"
NAMED = on("chmod 640 old.bmp", "setfacl -m u:1:rw,u:65534:rw old.bmp")  # group::r--, mask::rw-
FLAGS = on("chattr +dA old.bmp")  # no dump, no access times
ATTRIBUTES = on(*(f"setfattr -n {kind}.origin -v x old.bmp" for kind in ("user", "trusted", "security")),
                f"setfattr -n security.capability -v 0x{CAPABILITY.hex()} old.bmp")


@posix
@pytest.mark.parametrize("filesystem", KEEPING, indirect=True, scope="module")
@pytest.mark.parametrize("setup, how, dropped", [
    *(row(name, *values, marks=libattr) for name, *values in [
        ("root keeps user, trusted, security attributes, not a capability", ATTRIBUTES, ROOT, {"security.capability"}),
        ("another user keeps user attributes only", ATTRIBUTES, USER,
         {"trusted.origin", "security.origin", "security.capability"}),
    ]),
    # The new file inherits the directory's default ACL.
    row("root keeps an old file's lack of ACL under a directory's default ACL", on("setfacl -d -m u:1:rw ."), ROOT, ()),
    row("root keeps a named user's ACL entry, the group's bits apart from the mask", NAMED, ROOT, ()),
    row("another user keeps a named user's ACL entry, the group's bits apart from the mask", NAMED, USER, ()),
    *(row(name, *values, marks=linux) for name, *values in [
        ("root keeps set-ID bits beside attributes", on(ORIGIN, "chmod 6775 old.bmp"), ROOT, ()),  # left to fchmod
        ("another user keeps the attributes of a file whose ACL denies its owner write",
         on("chmod 464 old.bmp", "setfacl -m u:1:rw old.bmp", ORIGIN), USER, ()),
        # A value filling this ext4's attribute block (1 KiB blocks), which an inherited ACL too big for the inode
        # would share.
        ("root keeps an attribute that fills the room under a directory's default ACL", on(
            f"setfattr -n user.big -v 0x{'ab' * 960} old.bmp", "setfacl -d -m " + ",".join(
                f"u:{user}:rw" for user in range(1, 13)) + " ."), ROOT, ()),
        ("another user who may not read the old file keeps its mode and ACL, not its attributes",
         on("chmod 620 old.bmp", "setfacl -m u:1:r old.bmp", ORIGIN), USER, {"user.origin"}),
        ("root keeps the project id", project, ROOT, ()),
        ("root keeps the inode flags", FLAGS, ROOT, ()),
        ("another user keeps the inode flags", FLAGS, USER, ()),
        ("root keeps no copy-on-write, which only an empty file takes", steps(
            lambda w: w.write("old.bmp", b""), lambda w: w.chattr("old.bmp", "C"), lambda w: w.write("old.bmp", OLD)),
         ROOT, ()),
    ]),
    row("flags refused together are kept one by one", FLAGS, injected("ioctl:error=EOPNOTSUPP:when=3"), (),
        marks=[linux, strace]),
])
def test_replacing_keeps_acl_attributes_and_flags(on_fs, setup, how, dropped):
    os.chmod(on_fs.path, 0o777)
    os.chown(on_fs / "old.bmp", 1000, 1000)
    os.chmod(on_fs / "old.bmp", 0o664)
    setup(on_fs)
    before = kept(on_fs / "old.bmp")
    assert on_fs.run(["001.dat", "old.bmp"], **(how(on_fs) if callable(how) else how)) == Result(0, "", "")
    assert (on_fs / "old.bmp").read_bytes() == on_fs.original
    assert kept(on_fs / "old.bmp") == {key: value for key, value in before.items() if key not in dropped}


@posix
@pytest.mark.parametrize("filesystem", KEEPING, indirect=True, scope="module")
@pytest.mark.parametrize("default_acl", [None, "u:1:rw,g::r,o::-"], ids=["under the umask", "under a default ACL"])
@pytest.mark.parametrize("user", [ROOT, USER], ids=["root", "another user"])
def test_new_destfile_gets_what_any_new_file_there_gets(on_fs, default_acl, user):
    os.chmod(on_fs.path, 0o777)
    if default_acl:
        run("setfacl", "-d", "-m", default_acl, on_fs.path)
    os.close(os.open(on_fs / "other.bmp", os.O_CREAT | os.O_WRONLY, 0o666))
    os.chown(on_fs / "other.bmp", user.get("user", -1), user.get("group", -1))
    assert on_fs.run(["001.dat", "new.bmp"], **user).status == 0
    assert kept(on_fs / "new.bmp") == kept(on_fs / "other.bmp")


def reopen_fails(w):
    """The old file's second open, for reading what it carries, failed with EIO."""
    (name, when), = w.tool.trace(["001.dat", "old.bmp"], w.path, "O_NOFOLLOW")
    return injected(f"{name}:error=EIO:when={when}")(w)


@marked(posix, linux)
@pytest.mark.parametrize("filesystem", KEEPING, indirect=True, scope="module")
@pytest.mark.parametrize("setup, cause", [
    row("attributes past what the kernel lists", many_attributes, "{E2BIG}"),
    *(row(name, setup, cause, marks=strace) for name, setup, cause in [
        *((f"an attribute that cannot be {done}", injected(f"{call}:error=EIO:when=1"), "{EIO}")
          for done, call in [("read", "fgetxattr"), ("set", "fsetxattr")]),
        # The old file another user's: the temporary is given to it.
        *((f"an owner that cannot be given for {why}", steps(on("chown 1000:1000 old.bmp"), injected(fault)), cause)
          for why, fault, cause in [("an I/O error", "fchown:error=EIO:when=1", "{EIO}"),
                                    ("the owner's full quota", "fchown:error=EDQUOT", "{EDQUOT}")]),
        ("an old file that cannot be opened again for an I/O error", reopen_fails, "{EIO}"),
    ]),
    row("an old file that cannot be opened again past the limit of open files", lambda w: {
        "preexec_fn": lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (7, 7))}, "{EMFILE}"),
])
def test_metadata_that_cannot_be_kept_fails_the_run_keeping_the_old_destfile(on_fs, setup, cause):
    on(ORIGIN)(on_fs)
    result, changed = on_fs.outcome(["001.dat", "old.bmp"], **(setup(on_fs) or {}))
    assert (result.status, result.stderr, changed) == (1, on_fs.tool.words(f"Can't create destfile: {cause}\n"), {})
