"""Successful conversions: status 0, nothing printed, the restored bytes where the destfile leads, nothing else."""
import os
import stat
import subprocess
import sys
import time

import pytest

from conftest import (BLOCK, BUSY, FIELDS, OLD, SOURCE, WRITE, Result, Workdir, as_user, concurrent_runs, marked,
                      nothing, others_file, row, steps, windows_path)

posix, linux, mounts, strace, wine = (pytest.mark.posix, pytest.mark.linux, pytest.mark.mounts, pytest.mark.strace,
                                      pytest.mark.wine)
as_root, traced_linux = (posix, mounts, linux), (posix, strace, linux)
SOURCE_BUSY, DENIED = SOURCE + "{EBUSY}", WRITE + "{EACCES}"


def late_writer(w):
    # The writer opens misc.dat first and writes only later: the tool's read waits for the bytes.
    os.rename(w / "misc.dat", w / "block")
    os.mkfifo(w / "misc.dat")
    writer = subprocess.Popen(["sh", "-c", "exec 3>misc.dat; sleep 0.5; cat block >&3"], cwd=w.path)
    w.cleanups.append(writer.kill)
    time.sleep(0.2)  # until it waits in its open


def direct_write_refused(w):
    # Past 2 MiB the whole blocks go straight to the disk (the real filesystems' tests), else through the cache.
    w.write("0big.dat", w.scrambled + bytes(range(256)) * 12289 + b"odd")
    return {"wrap": w.tool.inject("write:error=EINVAL:when=1")}


MARKED = (lambda w: os.setxattr(w / "old.bmp", "user.DOSATTRIB", b"0x6"))  # hidden and system, as wine keeps them
READ_ONLY = (lambda w: os.chmod(w / "old.bmp", 0o444))
RESTORATIONS = [
    row("to a new destfile", nothing, "001.dat", "new.bmp", marks=pytest.mark.memcheck),
    row("from a data file of 0xFF bytes", lambda w: w.write("0ff.dat", b"\xff" * 400000), "0ff.dat", "new.bmp"),
    # Linux before 6.10 links a descriptor only for a process that may read any directory: /proc's name of it then.
    row("to a new destfile by a user the kernel refuses the descriptor's link", steps(
        lambda w: os.chmod(w.path, 0o777), lambda w: {"wrap": w.tool.inject("linkat:error=ENOENT:when=1"),
                                                      **as_user(65534)}), "001.dat", "new.bmp", marks=traced_linux),
    row("over a longer old destfile", lambda w: w.write("old.bmp", b"x" * 999999), "001.dat", "old.bmp"),
    row("with a misc.dat of 2000 bytes", lambda w: w.write("misc.dat", w.block + bytes(range(256)) * 3 + b"z" * 202),
        "001.dat", "new.bmp"),
    row("from a sourcefile of 1078 bytes", lambda w: w.write("001.dat", w.scrambled[:1078]), "001.dat", "new.bmp"),
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
    # Names only Windows has, each acting on the one file it resolves to, its last part: a drive's full path, a
    # verbatim (\\?\) name taken as given, its trailing dot or space included.
    *(row(name, setup, "001.dat", dest, marks=wine) for name, setup, dest in [
        ("over an old destfile named by its full path on a drive", nothing, "{drive}\\old.bmp"),
        ("to a new destfile named by its full path on a drive", nothing, "{drive}\\new.bmp"),
        ("over a hidden system old destfile, which stays so", MARKED, "{drive}\\old.bmp"),
        *((f"to a verbatim name with a trailing {end}, beside a read-only file named without it", READ_ONLY,
           f"\\\\?\\{{drive}}\\old.bmp{char}") for end, char in [("dot", "."), ("space", " ")]),
        ("to a verbatim name with a trailing dot, beside a folder named without it", lambda w: w.mkdir("dir.bmp"),
         "\\\\?\\{drive}\\dir.bmp."),
    ]),
]


def marks(path):  # FILE_ATTRIBUTE_HIDDEN and _SYSTEM, as wine keeps them
    attributes = path.exists() and "user.DOSATTRIB" in os.listxattr(path) and os.getxattr(path, "user.DOSATTRIB")
    return attributes and int(attributes, 16) & 6


def restored(w, data):
    """data as the tool restores it: the header fields' bytes that are not zero set, misc.dat's block put in."""
    field = {i for offset, length in FIELDS for i in range(offset, offset + length)}
    header = bytes(w.original[i] or b if i in field else b for i, b in enumerate(data[:BLOCK.start]))
    return header + w.block + data[BLOCK.stop:]


@pytest.mark.parametrize("setup, source, dest", RESTORATIONS)
def test_restores_the_bitmap_byte_for_byte(work, setup, source, dest):
    run, dest = setup(work) or {}, dest.format(drive=work.drive() if "{drive}" in dest else "")
    # The file the destfile name leads to receives the sourcefile, restored.
    receiver = os.path.relpath(os.path.realpath(work / dest.rsplit("\\", 1)[-1]), work.path)
    data, had = (work / source).read_bytes(), marks(work / receiver)
    result, changed = work.outcome([source, dest], **run)
    assert (result, marks(work / receiver)) == ((0, "", ""), had)
    assert {name: seen[0] for name, seen in changed.items()} == {receiver: restored(work, data)}


@marked(posix, strace, mounts, linux)
@pytest.mark.parametrize("dest", ["new.bmp", "old.bmp"])
def test_directory_the_user_may_not_read_is_flushed_after_the_rename(work, dest):
    # Write and search only: the directory cannot be opened to be flushed, the filesystem holding it can.
    calls = [c for c, _ in work.tool.trace(["001.dat", dest], work.path, **others_file(65534, 0o644, 0o733)(work))]
    placed = max(i for i, c in enumerate(calls) if c.startswith(("link", "rename")))
    assert "syncfs" in calls[placed:] and (work / dest).read_bytes() == work.original


# A block device is flushed as a file would be.
@pytest.mark.parametrize("source, dest, fault, message", [
    row("/dev/null", "001.dat", "/dev/null", None, "", marks=posix),
    row("/dev/null from 2.5 GiB", "0huge.dat", "/dev/null", None, "", marks=posix),
    *(row(name, "001.dat", name, None, "", marks=wine) for name in ("NUL", "NUL:", "nul:", "\\\\.\\nul")),
    row("a block device", "001.dat", "disk", None, "", marks=(posix, mounts)),
    row("a block device whose flush fails", "001.dat", "disk", "fsync:error=EIO:when=1", WRITE + "{EIO}\n",
        marks=(posix, mounts, strace)),
])
def test_device_destfile_is_written_not_replaced(work, source, dest, fault, message):
    work.sparse("0huge.dat", 5 << 29)
    if dest == "disk":
        work.loop("disk", 1 << 20)
    result, changed = work.outcome([source, dest], wrap=work.tool.inject(fault) if fault else ())
    assert result == (1 if fault else 0, "", work.tool.words(message)) and stat.S_ISCHR(os.stat("/dev/null").st_mode)
    assert {name: seen[0][:len(work.original)] for name, seen in changed.items()} == \
        ({"disk.img": work.original} if dest == "disk" else {})


@posix
@pytest.mark.parametrize("source, delay, closed", [
    row("reader opening late", "001.dat", 0.5, False),
    # As with <&- 2>&-: the destfile must not become standard error.
    row("standard input and error closed, failure after the destfile is open", "0short.dat", 0, True),
])
def test_fifo_destfile_receives_the_bitmap_and_nothing_else(work, source, delay, closed):
    work.write("0short.dat", b"\x01")
    os.mkfifo(work / "pipe.bmp")
    reader = subprocess.Popen(["sh", "-c", f"sleep {delay}; exec cat pipe.bmp >received"], cwd=work.path)
    work.cleanups.append(reader.kill)  # if no writer ever came
    result = work.run([source, "pipe.bmp"], preexec_fn=(lambda: (os.close(0), os.close(2))) if closed else None)
    reader.wait(timeout=10)
    received = (work / "received").read_bytes() == (work.original if source == "001.dat" else b"")
    assert (result, received) == ((0 if source == "001.dat" else 1, "", ""), True)
    assert stat.S_ISFIFO(os.lstat(work / "pipe.bmp").st_mode)


# Another program opening a file of the run: the sourcefile or the old destfile, held from before the run and let go
# after hold_ms; or each temporary as it shows, until none showed for watch_ms, which a program not sharing deletion
# cannot open (a temporary held between writing and renaming would stay for good).
@pytest.mark.wine
@pytest.mark.parametrize("held, sharing, hold_ms, watch_ms, message", [
    row("a holder of the sourcefile not sharing reading is refused at once", "001.dat", "-", 3000, 0, SOURCE_BUSY),
    # The old destfile is looked at, never opened for writing: a holder's sharing shows only at the rename.
    row("a holder of the destfile not sharing writing that holds on fails the run", "old.bmp", "r", 3000, 0, DENIED),
    row("a holder of the destfile sharing writing that lets go in a second is waited for", "old.bmp", "rw", 950, 0, ""),
    row("a scanner not sharing deletion opens no temporary, nor spoils a run", ".dat2bmp-*", "rw", 2000, 3000, ""),
])
def test_file_held_by_another_program(work, held, sharing, hold_ms, watch_ms, message):
    names = sorted(os.listdir(work.path))
    holder = work.tool.scanner_start(work.path, windows_path(work / held), sharing, hold_ms, watch_ms)
    if not watch_ms:  # held before the run
        assert holder.stdout.readline().startswith("seen ") and holder.stdout.readline().startswith("opened ")
    results = [work.run(["001.dat", "old.bmp"]) for _ in range(8 if watch_ms else 1)]
    seen = holder.communicate(timeout=120)[0]
    assert results == [Result(1, "", work.tool.words(message) + "\n") if message else Result(0, "", "")] * len(results)
    assert not watch_ms or "seen .dat2bmp-" in seen and "opened" not in seen
    assert (work / "old.bmp").read_bytes() == (OLD if message else work.original)
    assert sorted(os.listdir(work.path)) == names


# A full path past MAX_PATH (260 characters), as Windows shows it: a name of 40 bytes in a folder of 227, 268 in all.
@pytest.mark.wine
@pytest.mark.parametrize("old", [False, True], ids=["to a new destfile", "over an old destfile"])
def test_destfile_past_max_path(tmp_path, tool, bitmap, old):
    work, dest = Workdir(tmp_path / ("d" * (226 - len(windows_path(tmp_path)))), tool, bitmap), "n" * 36 + ".bmp"
    if old:
        work.write(dest, OLD)
    result, changed = work.outcome(["001.dat", dest])
    assert (result, {name: seen[0] for name, seen in changed.items()}) == ((0, "", ""), {dest: work.original})


def busy(w):
    """Both processors kept busy, and the runs at a lower priority than the loops."""
    for _ in range(2):
        loop = subprocess.Popen([sys.executable, "-c", "while True: pass"])
        w.cleanups.append(loop.kill)
    return {"preexec_fn": lambda: os.nice(15)}


def killed_holder(w):
    """A program killed while it held old.bmp's turn: abandoned, the turn is the next run's."""
    holder = w.tool.scanner_start(w.path, "turn", "old.bmp")
    holder.kill()
    holder.communicate()


# Runs writing one file take turns at looking at it and renaming over it, however they name it: 10 rounds of 100 runs
# (about 25 s a round under wine on two processors, twice that when they are kept busy).
@pytest.mark.wine
@pytest.mark.parametrize("setup", [
    row("by names that differ only in spelling", nothing),
    row("by names that differ only in spelling, the processors kept busy", busy),
    row("after a holder of the turn was killed", killed_holder),
])
def test_hundred_runs_take_turns_however_they_name_the_file(work, setup):
    popen, drive = setup(work) or {}, work.drive()
    # One file by the names a user may give it: relative, by the drive letter wine maps to its directory, in other
    # letters' case, verbatim (the \\?\ form), and relative to the drive's folder.
    names = ["old.bmp", f"{drive}\\OLD.bmp", f"\\\\?\\{drive}\\old.BMP", f"{drive}old.bmp"]
    for _ in range(10):
        work.write("old.bmp", OLD)
        concurrent_runs(work, "old.bmp", runs=100, tail=4096, sources=4, spellings=names, **popen)


# A run that hangs holding its turn holds the others off for 30 s; then they give up, saying so.
@pytest.mark.wine
def test_holder_of_the_turn_that_hangs_is_given_up(work):
    holder = work.tool.scanner_start(work.path, "turn", f"{work.drive()}old.bmp")
    work.cleanups.append(holder.kill)
    started = time.monotonic()
    assert work.run(["001.dat", "OLD.BMP"]) == Result(1, "", work.tool.words(BUSY) + "\n")
    assert 30 <= time.monotonic() - started < 60 and (work / "old.bmp").read_bytes() == OLD
