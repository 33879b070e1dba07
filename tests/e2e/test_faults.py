"""Faults from outside: runs interrupted under wine, and each system call of a successful run failed in turn."""
import os
import signal
import time
from pathlib import Path

import pytest

from conftest import Workdir, marked, nothing, row

# Calls that cannot fail (umask) or whose failure the tool never sees (exit_group: the process is already ending).
UNFAILING = {"umask", "exit_group"}
# The sanitizer runtime's own calls (its allocator, its checks around perror), whose failure ends the process.
SANITIZER_OWNED = {"mmap", "munmap", "mremap", "brk", "madvise", "mprotect", "sigaltstack", "dup", "fcntl"}
# Right after creating the temporary, which shows before: wine sets its hidden attribute then, and the second such call
# is stretched (the first is the temporary made delete-on-close, let go where that mark cannot be cleared).
AFTER_CREATE = ["strace", "-f", "-o", os.devnull, "-e", "trace=fsetxattr",
                "--inject=fsetxattr:delay_exit=4000000:when=2"]
CTRL_C = 0xC000013A & 0xFF  # STATUS_CONTROL_C_EXIT, as a POSIX status


def running(w, pid, dest, written):
    """Whether the run is past its start: reading the sourcefile into a device, else a temporary shows (with bytes if
    written)."""
    try:
        if dest == "NUL":
            return any(os.readlink(fd).endswith("/0big.dat") for fd in Path(f"/proc/{pid}/fd").iterdir())
        return any(not written or (w / name).stat().st_size for name in os.listdir(w.path) if name[:9] == ".dat2bmp-")
    except FileNotFoundError:  # a descriptor closed or a temporary gone meanwhile: look again
        return False


def without_temporaries(w):
    """What snapshot() sees but temporaries, and how many of those there are."""
    seen = w.snapshot()
    return {name: what for name, what in seen.items() if ".dat2bmp-" not in name}, sum(".dat2bmp-" in n for n in seen)


# A large sourcefile keeps the run busy: past its start once the sourcefile is open, writing once a temporary has bytes.
@pytest.mark.wine
@pytest.mark.parametrize("dest, ending, sig, wrap", [
    row("Ctrl+C while writing a temporary ends with STATUS_CONTROL_C_EXIT", "old.bmp", CTRL_C, signal.SIGINT, ()),
    row("Ctrl+C while writing to a device ends with STATUS_CONTROL_C_EXIT", "NUL", CTRL_C, signal.SIGINT, ()),
    row("kill -9 while writing a temporary for a name with a backslash byte in cp932", "表.bmp", -signal.SIGKILL,
        signal.SIGKILL, ()),
    row("kill -9 right after creating the temporary leaves it only where wine 8 marks it by a second call", "old.bmp",
        -signal.SIGKILL, signal.SIGKILL, AFTER_CREATE, marks=pytest.mark.strace),
])
def test_interrupted_run_leaves_nothing_under_wine(work, dest, ending, sig, wrap):
    locale = "ja_JP.UTF-8" if dest == "表.bmp" else None
    work.sparse("0big.dat", 1 << 28)
    before = work.snapshot()
    # wine turns SIGINT into Ctrl+C.
    process = work.tool.start(["0big.dat", dest], work.path, locale=locale, wrap=wrap, start_new_session=True,
                              preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    deadline = time.monotonic() + 60
    while not running(work, process.pid, dest, written=not wrap):
        assert process.poll() is None and time.monotonic() < deadline, "neither the sourcefile open nor a temporary"
        time.sleep(0.01)
    time.sleep(1 if wrap else 0)  # under strace: into the stretched call, where strace and wine's process are
    os.killpg(process.pid, sig)
    assert work.tool.finish(process).status == ending
    # The wine server deletes a killed run's temporary as it closes its handles; wine 8's one instant (the manual's) is
    # left.
    left = 1 if wrap else 0
    deadline = time.monotonic() + 10
    while (after := without_temporaries(work)) != (before, left) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert after == (before, left)


@marked(pytest.mark.posix, pytest.mark.strace)
@pytest.mark.parametrize("setup, args, receiver", [
    row("new destfile", nothing, ["001.dat", "new.bmp"], "new.bmp"),
    row("old destfile", nothing, ["001.dat", "old.bmp"], "old.bmp"),
    row("old destfile through a link", lambda w: w.link("link.bmp", "old.bmp"), ["001.dat", "link.bmp"], "old.bmp"),
    row("destfile is the sourcefile", nothing, ["001.dat", "001.dat"], "001.dat"),
])
def test_any_single_failed_call_leaves_old_or_whole_new(tmp_path, tool, bitmap, setup, args, receiver):
    def fresh(name):
        w = Workdir(tmp_path / name, tool, bitmap)
        setup(w)
        return w

    skipped = UNFAILING | (SANITIZER_OWNED if tool.sanitized else set())
    calls = [call for call in tool.trace(args, fresh("traced").path) if call[0] not in skipped]
    assert len(calls) > 10, calls
    # Each call refused (brk by granting no more); each read and write of a run that succeeds (one not onto its
    # sourcefile) also interrupted by a signal before it moved anything, which the run rides out.
    tries = [(name, when, "retval=0" if name == "brk" else "error=EIO") for name, when in calls]
    tries += [(name, when, "error=EINTR") for name, when in calls if name in ("read", "write") and receiver != args[0]]
    faults = []
    for name, when, refusal in tries:
        w = fresh(f"{name}-{when}-{refusal}")
        result, changed = w.outcome(args, wrap=tool.inject(f"{name}:{refusal}:when={when}"))
        new = (changed.get(receiver) or (None,))[0] == w.original
        # The flushes of the directory and again of the file come after the new bitmap is in place: their failure is
        # reported, the new bytes stay. The sourcefile is never touched, not even when it is the destfile.
        placed = result.status == 0 or (new and name in ("fsync", "fdatasync"))
        expected = {receiver: changed[receiver] if new else "the new bytes"} if placed else {}
        if result.status not in (0, 1) or changed != expected or "001.dat" in changed or (
                refusal == "error=EINTR" and result != (0, "", "")):
            faults.append(f"{name} #{when} {refusal}: status {result.status}, {result.stderr!r}")
    assert not faults
