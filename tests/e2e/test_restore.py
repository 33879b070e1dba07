"""Successful conversions: status 0, nothing printed, the restored bytes where the destfile leads, nothing else."""
import os
import stat
import subprocess
import time

import pytest

from conftest import OLD, Result, as_user, concurrent_runs, marked, nothing, row, steps
from test_failures import BUSY, SOURCE, WRITE, others_file

posix, linux, mounts, strace = pytest.mark.posix, pytest.mark.linux, pytest.mark.mounts, pytest.mark.strace
as_root, traced_linux = (posix, mounts, linux), (posix, strace, linux)
SOURCE_BUSY, DENIED = SOURCE + "{EBUSY}", WRITE + "{EACCES}"
# An old destfile of mode 640 given a named user's entry: group::r--, mask::rw- (mode 660). In a user namespace that
# maps only the process's own id, the entries' ids cannot be set again; nor where the ACL's set fails. Either way the
# group keeps its own bits (640), never the mask's.
NAMED = "u:1:rw,u:65534:rw"
IN_NAMESPACE = {"wrap": ["unshare", "-U", "-r"]}
ACL_REFUSED = lambda w: {"wrap": w.tool.inject("fsetxattr:error=EINVAL:when=1")}  # noqa: E731


def late_writer(w):
    # The writer opens misc.dat first and writes only later: the tool's read waits for the bytes.
    os.rename(w / "misc.dat", w / "block")
    w.fifo("misc.dat")
    writer = subprocess.Popen(["sh", "-c", "exec 3>misc.dat; sleep 0.5; cat block >&3"], cwd=w.path)
    w.cleanups.append(writer.kill)
    time.sleep(0.2)  # until it waits in its open


def direct_write_refused(w):
    # Past 2 MiB the whole blocks go straight to the disk (the real filesystems' tests), else through the cache.
    w.write("0big.dat", w.scrambled + bytes(range(256)) * 12289 + b"odd")
    return {"wrap": w.tool.inject("write:error=EINVAL:when=1")}


RESTORATIONS = [
    row("to a new destfile", nothing, "001.dat", "new.bmp"),
    row("over a shorter old destfile", nothing, "001.dat", "old.bmp"),
    row("over a longer old destfile", lambda w: w.write("old.bmp", b"x" * 999999), "001.dat", "old.bmp"),
    row("with a misc.dat of 2000 bytes", lambda w: w.write("misc.dat", w.block + bytes(range(256)) * 3 + b"z" * 202),
        "001.dat", "new.bmp"),
    row("from a sourcefile of exactly the restored span", lambda w: w.write("001.dat", w.scrambled[:1078]), "001.dat",
        "new.bmp"),
    row("over misc.dat itself", nothing, "001.dat", "misc.dat"),
    # Only standard error goes: wine itself breaks without standard output.
    row("without standard error", lambda w: {"preexec_fn": lambda: os.close(2)}, "001.dat", "old.bmp"),
    row("with misc.dat a FIFO whose writer writes late", late_writer, "001.dat", "new.bmp", marks=posix),
    row("with names of 63 bytes", lambda w: w.write("0" + "s" * 62, w.scrambled), "0" + "s" * 62, "d" * 63),
    row("into a subdirectory", lambda w: w.mkdir("sub"), "001.dat", "sub/new.bmp"),
    row("into an append-only directory", lambda w: w.append_only("ao"), "001.dat", "ao/new.bmp", marks=as_root),
    # Linux before 4.11 tells no attributes: the old destfile is replaced as where there are none.
    row("over an old destfile, on a kernel without statx", lambda w: {"wrap": w.tool.inject("statx:error=ENOSYS")},
        "001.dat", "old.bmp", marks=(posix, strace)),
    row("through a symbolic link", lambda w: w.link("link.bmp", "old.bmp"), "001.dat", "link.bmp", marks=posix),
    row("through a relative link in another directory", lambda w: w.link("sub/link.bmp", "../old.bmp"), "001.dat",
        "sub/link.bmp", marks=posix),
    row("through a chain of 40 links", lambda w: w.chain(40), "001.dat", "l1.bmp", marks=posix),
    # The directory's flush then takes the new file's descriptor: the directory's own can only search it.
    row("into a directory the user may not read", steps(lambda w: w.mkdir("wx"), others_file(0, 0o733, 0o755, "wx")),
        "001.dat", "wx/new.bmp", marks=as_root),
    *(row(f"of 3 MiB {to}, the direct write refused", direct_write_refused, "0big.dat", dest, marks=traced_linux)
      for to, dest in [("to a new destfile", "new.bmp"), ("over an old destfile", "old.bmp")]),
]


@pytest.mark.parametrize("setup, source, dest", RESTORATIONS)
def test_restores_the_bitmap_byte_for_byte(work, setup, source, dest):
    run = setup(work) or {}
    before = work.snapshot()
    # The file the destfile name leads to receives the sourcefile, restored.
    receiver, data = os.path.relpath(os.path.realpath(work / dest), work.path), (work / source).read_bytes()
    assert work.run([source, dest], **run) == Result(0, "", "")
    after = work.snapshot()
    assert after.pop(receiver)[0] == (work.original + data[len(work.original):])[:len(data)]
    before.pop(receiver, None)
    assert after == before


@marked(posix, strace)
@pytest.mark.parametrize("call, nth", [("read", 0), ("read", 1), ("write", 0)],
                         ids=["misc.dat's read", "the sourcefile's read", "the destfile's write"])
def test_interrupted_transfer_goes_on(work, call, nth):
    when = [w for name, w in work.tool.trace(["001.dat", "new.bmp"], work.path) if name == call][nth]
    result = work.run(["001.dat", "old.bmp"], wrap=work.tool.inject(f"{call}:error=EINTR:when={when}"))
    assert (result.status, result.stderr, (work / "old.bmp").read_bytes() == work.original) == (0, "", True)


@marked(posix, strace, mounts, linux)
@pytest.mark.parametrize("dest", ["new.bmp", "old.bmp"])
def test_directory_the_user_may_not_read_is_flushed_after_the_rename(work, dest):
    # Write and search only: the directory cannot be opened to be flushed, the filesystem holding it can.
    os.chmod(work.path, 0o733)
    os.chown(work / "old.bmp", 65534, 65534)
    calls = [name for name, _ in work.tool.trace(["001.dat", dest], work.path, **as_user(65534))]
    placed = max(i for i, name in enumerate(calls) if name.startswith(("link", "rename")))
    assert "syncfs" in calls[placed:] and (work / dest).read_bytes() == work.original


@posix
@pytest.mark.parametrize("old_mode, acl, how, mask, mode", [
    row("new destfile, umask 022", None, None, {}, 0o022, 0o644),
    row("new destfile, umask 077", None, None, {}, 0o077, 0o600),
    row("new destfile, umask 000", None, None, {}, 0o000, 0o666),
    row("old destfile of mode 640", 0o640, None, {}, 0o022, 0o640),
    row("old destfile of mode 755 under umask 077", 0o755, None, {}, 0o077, 0o755),
    row("old destfile keeps its ACL exactly", 0o640, NAMED, {}, 0o022, 0o660, marks=linux),
    row("in a user namespace the group keeps its own bits", 0o640, NAMED, IN_NAMESPACE, 0o022, 0o640, marks=linux),
    row("another user in a user namespace: the group keeps its own bits", 0o640, NAMED,
        {**IN_NAMESPACE, **as_user(65534)}, 0o022, 0o640, marks=(linux, mounts)),
    row("with the ACL refused the group keeps its own bits", 0o640, NAMED, ACL_REFUSED, 0o022, 0o640,
        marks=(linux, strace)),
    row("with the ACL refused the group keeps no more than a narrower mask gave", 0o660, "u:1:rw,m::r", ACL_REFUSED,
        0o022, 0o640, marks=(linux, strace)),
    row("an old destfile whose mode cannot be given keeps the temporary's private one", 0o644, None,
        lambda w: {"wrap": w.tool.inject("fchmod:error=EPERM", "fsetxattr:error=EPERM")}, 0o000, 0o600, marks=strace),
])
def test_destfile_mode(work, old_mode, acl, how, mask, mode):
    dest = work / ("new.bmp" if old_mode is None else "old.bmp")
    how = how(work) if callable(how) else how
    owner = how.get("user", os.geteuid()), how.get("group", os.getegid())
    if old_mode is not None:
        os.chmod(work.path, 0o777)
        os.chown(dest, *owner)
        os.chmod(dest, old_mode)
    if acl:
        subprocess.run(["setfacl", "-m", acl, dest], check=True)
    before = subprocess.run(["getfacl", "-cn", dest], capture_output=True, text=True).stdout
    result = work.run(["001.dat", dest.name], preexec_fn=lambda: os.umask(mask), **how)
    st = os.stat(dest)
    assert (result.status, result.stderr, stat.S_IMODE(st.st_mode), st.st_uid, st.st_gid) == (0, "", mode, *owner)
    if acl:  # kept whole, or not at all
        after = subprocess.run(["getfacl", "-cn", dest], capture_output=True, text=True).stdout
        assert (after == before) == (mode == 0o660) and ("user:1:" in after) == (mode == 0o660)
    assert dest.read_bytes() == work.original


@pytest.mark.parametrize("source", ["001.dat", pytest.param("0huge.dat", id="from 2.5 GiB", marks=posix)])
def test_device_destfile_is_written_not_replaced(work, source):
    work.sparse("0huge.dat", 5 << 29)
    before = work.snapshot()
    assert work.run([source, "NUL" if work.tool.wine else "/dev/null"]) == Result(0, "", "")
    assert stat.S_ISCHR(os.stat("/dev/null").st_mode)
    assert work.snapshot() == before


@posix
@pytest.mark.parametrize("source, delay, closed", [
    pytest.param("001.dat", 0, False, id="reader waiting"),
    pytest.param("001.dat", 0.5, False, id="reader opening late"),
    # As with <&- 2>&-: the destfile must not become standard error.
    pytest.param("001.dat", 0, True, id="standard input and error closed"),
    pytest.param("0short.dat", 0, True, id="standard input and error closed, failure after the destfile is open"),
])
def test_fifo_destfile_receives_the_bitmap_and_nothing_else(work, source, delay, closed):
    work.write("0short.dat", b"\x01")
    work.fifo("pipe.bmp")
    reader = subprocess.Popen(["sh", "-c", f"sleep {delay}; exec cat pipe.bmp >received"], cwd=work.path)
    work.cleanups.append(reader.kill)  # if no writer ever came
    result = work.run([source, "pipe.bmp"], preexec_fn=(lambda: (os.close(0), os.close(2))) if closed else None)
    reader.wait(timeout=10)
    status, expected = (0, work.original) if source == "001.dat" else (1, b"")
    received = (work / "received").read_bytes() == expected
    assert (result.status, result.stdout, result.stderr, received) == (status, "", "", True)
    assert stat.S_ISFIFO(os.lstat(work / "pipe.bmp").st_mode)


# Another program opening a file of the run: the sourcefile or the old destfile, held from before the run and let go
# after hold_ms; or each temporary as it shows, held for longer than a run waits for the destfile (a temporary opened
# between writing and renaming would stay for good), until none showed for watch_ms.
@pytest.mark.wine
@pytest.mark.parametrize("held, sharing, hold_ms, watch_ms, message", [
    row("a holder of the sourcefile not sharing reading is refused at once", "001.dat", "-", 3000, 0, SOURCE_BUSY),
    row("a holder of the destfile not sharing writing is refused at once", "old.bmp", "r", 3000, 0, BUSY),
    row("a holder of the destfile sharing writing that lets go within a second is waited for", "old.bmp", "rw", 950, 0,
        ""),
    row("a holder of the destfile sharing writing that holds on fails the run", "old.bmp", "rw", 4000, 0, DENIED),
    row("a holder of the destfile sharing writing and deletion that holds on fails the run without POSIX renames, as "
        "under wine 8", "old.bmp", "rwd", 4000, 0, DENIED),
    row("a scanner opening temporaries spoils no run", ".dat2bmp-*", "rw", 2000, 3000, ""),
])
def test_file_held_by_another_program(work, held, sharing, hold_ms, watch_ms, message):
    names = sorted(os.listdir(work.path))
    holder = work.tool.scan(work / held, sharing, hold_ms, watch_ms)
    if not watch_ms:  # held before the run
        assert holder.stdout.readline().startswith("seen ") and holder.stdout.readline().startswith("opened ")
    results = [work.run(["001.dat", "old.bmp"]) for _ in range(8 if watch_ms else 1)]
    seen = holder.communicate(timeout=120)[0]
    assert results == [Result(1, "", work.tool.words(message) + "\n") if message else Result(0, "", "")] * len(results)
    assert not watch_ms or "seen .dat2bmp-" in seen
    assert (work / "old.bmp").read_bytes() == (OLD if message else work.original)
    assert sorted(os.listdir(work.path)) == names


# A new destfile: the runs after the first find the name taken, and replace it as an old one.
@pytest.mark.parametrize("dest", ["old.bmp", "new.bmp"])
def test_concurrent_runs_each_leave_a_whole_conversion(work, dest):
    concurrent_runs(work, dest, runs=12, tail=1 << 20)
