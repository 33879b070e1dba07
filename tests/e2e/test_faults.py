"""Faults from outside: signals while the temporary exists, and each system
call of a successful run failed in turn."""
import os
import signal
import time

import pytest

from conftest import Workdir, nothing

posix, strace = pytest.mark.posix, pytest.mark.strace

# Calls that cannot fail (umask) or whose failure the tool never sees
# (exit_group: the process is already ending).
UNFAILING = {"umask", "exit_group"}
# The sanitizer runtime's own calls (its allocator, its checks around
# perror): it ends the process by design when they fail.
SANITIZER_OWNED = {"mmap", "munmap", "mremap", "brk", "madvise", "mprotect", "sigaltstack", "dup", "fcntl"}
# How the kernel refuses each call; brk refuses by granting no more.
REFUSAL = {"brk": "retval=0"}
# The directory's flush comes after the new bitmap is in place: its failure
# is reported, and the new bytes stay.
AFTER_COMMIT = {"fsync"}


def writing(pid, folder):
    """The tool below pid once it holds a new file in folder, else None."""
    with open(f"/proc/{pid}/task/{pid}/children") as f:
        for child in map(int, f.read().split()):
            try:
                targets = [os.readlink(f"/proc/{child}/fd/{fd}") for fd in os.listdir(f"/proc/{child}/fd")]
            except FileNotFoundError:  # a descriptor closed meanwhile
                continue
            if any(t.startswith(f"{folder}/") and not t.endswith(("001.dat", "misc.dat")) for t in targets):
                return child
    return None


@posix
@strace
@pytest.mark.parametrize("sig, dest", [
    pytest.param(signal.SIGINT, "new.bmp", id="SIGINT, new destfile"),
    pytest.param(signal.SIGTERM, "old.bmp", id="SIGTERM, old destfile"),
    pytest.param(signal.SIGHUP, "old.bmp", id="SIGHUP, old destfile"),
])
def test_signal_removes_the_temporary_and_kills(work, sig, dest):
    before = work.snapshot()
    log = work.path.parent / f"{work.path.name}.strace"
    # The write to the temporary is held back, so the signal finds it there.
    process = work.tool.start(["001.dat", dest], work.path,
                              wrap=["strace", "-o", str(log), "-e", "trace=write",
                                    "--inject=write:delay_enter=2000000"],
                              preexec_fn=lambda: [signal.signal(s, signal.SIG_DFL)
                                                  for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)])
    deadline = time.monotonic() + 30
    while not (tool_pid := writing(process.pid, work.path)):
        assert process.poll() is None and time.monotonic() < deadline, "no temporary appeared"
        time.sleep(0.01)
    os.kill(tool_pid, sig)
    result = work.tool.finish(process)
    assert result.status == -sig and result.stdout == ""
    assert log.read_text().splitlines()[-1] == f"+++ killed by {signal.Signals(sig).name} +++"
    assert work.snapshot() == before


@pytest.mark.wine
def test_ctrl_c_removes_the_temporary_and_ends_under_wine(work):
    # wine turns SIGINT into Ctrl+C; a large sourcefile keeps the temporary there.
    work.sparse("0big.dat", 1 << 30)
    before = work.snapshot()
    process = work.tool.start(["0big.dat", "old.bmp"], work.path,
                              preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    while not any(name.startswith(".dat2bmp-") for name in os.listdir(work.path)):
        assert process.poll() is None, "no temporary appeared"
        time.sleep(0.01)
    process.send_signal(signal.SIGINT)
    assert work.tool.finish(process).status == 0xC000013A & 0xFF  # STATUS_CONTROL_C_EXIT
    assert work.snapshot() == before


@posix
@strace
@pytest.mark.parametrize("setup, args, receiver", [
    pytest.param(nothing, ["001.dat", "new.bmp"], "new.bmp", id="new destfile"),
    pytest.param(nothing, ["001.dat", "old.bmp"], "old.bmp", id="old destfile"),
    pytest.param(lambda w: w.link("link.bmp", "old.bmp"), ["001.dat", "link.bmp"], "old.bmp",
                 id="old destfile through a link"),
    pytest.param(nothing, ["001.dat", "001.dat"], "001.dat", id="destfile is the sourcefile"),
])
def test_any_single_failed_call_leaves_old_or_whole_new(tmp_path, tool, bitmap, setup, args, receiver):
    def fresh(name):
        w = Workdir(tmp_path / name, tool, bitmap)
        setup(w)
        return w

    skipped = UNFAILING | (SANITIZER_OWNED if tool.sanitized else set())
    calls = [call for call in tool.trace(args, fresh("traced").path) if call[0] not in skipped]
    assert len(calls) > 10, calls
    faults = []
    for name, when in calls:
        w = fresh(f"{name}-{when}")
        before = w.snapshot()
        result = w.run(args, wrap=tool.inject(f"{name}:{REFUSAL.get(name, 'error=EIO')}:when={when}"))
        after, expected = w.snapshot(), dict(before)
        new = after.get(receiver, (None,))[0] == w.original
        if result.status == 0 or (new and name in AFTER_COMMIT):  # the receiver holds the new bytes
            expected[receiver] = after[receiver] if new else "the new bytes"
        # The sourcefile is never touched, not even when it is the destfile.
        if result.status not in (0, 1) or after != expected or after["001.dat"] != before["001.dat"]:
            faults.append(f"{name} #{when}: status {result.status}, {result.stderr!r}")
    assert not faults
