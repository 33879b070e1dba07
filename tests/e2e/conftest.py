"""End-to-end tests of the built dat2bmp: bytes on disk, messages, status. Options: pytest --help."""
import errno
import functools
import io
import os
import re
import shlex
import shutil
import stat
import struct
import subprocess
import tempfile
from collections import Counter, namedtuple
from contextlib import contextmanager
from pathlib import Path

import pytest

# The header fields the tool restores (offset, length: signature, info header size, planes, bits per pixel, image
# size, resolutions), and the span the datfile's block fills.
FIELDS = ((0, 2), (14, 4), (26, 2), (28, 2), (34, 4), (38, 4), (42, 4))
BLOCK = slice(48, 1078)
CHECKER_FAILED = 86  # status for a sanitizer's or valgrind's finding; the tool never uses it
VALGRIND = ["valgrind", "-q", f"--error-exitcode={CHECKER_FAILED}", "--leak-check=full", "--show-leak-kinds=all",
            "--errors-for-leak-kinds=all"]
OLD = b"the old destfile\n" * 10
# A file capability (struct vfs_cap_data, revision 2: cap_net_raw, effective), which no replace may carry over.
CAPABILITY = struct.pack("<5I", 0x2000001, 1 << 13, 0, 0, 0)
# The messages' beginnings: each cause after them is the C library's text for an errno, as Tool.words puts it.
SOURCE, DEST = "Can't open sourcefile: ", "Can't create destfile: "
READ, WRITE = "Something is screwy with ReadFile: ", "Something is screwy with WriteFile: "
BUSY = DEST + "{EBUSY}"
Result = namedtuple("Result", "status stdout stderr")  # status negative: killed by that signal
# Per filesystem: image size in MiB, the command that makes it on the image and the one that mounts it (device and
# mount point appended). XFS has a minimum size; ext4 without -m 0 keeps blocks that only root, as here, may fill;
# exFAT's FUSE driver wants a block device. Under wine, tmpfs stands for them all: what is tested is the tool's part.
FILESYSTEMS = {
    "ext4": (64, ["mkfs.ext4", "-q", "-F", "-m", "0"], ["mount", "-o", "loop"]),
    "xfs": (300, ["mkfs.xfs", "-q", "-f"], ["mount", "-o", "loop"]),
    "btrfs": (128, ["mkfs.btrfs", "-q", "-f"], ["mount", "-o", "loop"]),
    "tmpfs": (16, None, ["mount", "-t", "tmpfs", "-o", "size=16m"]),
    "exfat": (16, ["mkfs.exfat"], ["mount.exfat-fuse"]),
    "ntfs": (16, ["mkntfs", "-F", "-Q", "-f"], ["ntfs-3g"]),
}


def pytest_addoption(parser):
    parser.addoption("--dat2bmp", required=True, help="the binary under test")
    parser.addoption("--launcher", default="", help="command prefixed to every run: wine, or qemu-user")
    parser.addoption("--sanitized", action="store_true", help="binary built with ASan/UBSan")
    parser.addoption("--memcheck", action="store_true", help="each run under valgrind memcheck")
    parser.addoption("--portable", action="store_true", help="POSIX host without its Linux-only calls")
    parser.addoption("--no-libattr", action="store_true", help="built without libattr: keeps user.* attributes only")
    parser.addoption("--scanner", default="", help="the Windows helper that opens files beside the tool")
    parser.addoption("--error-texts", default="", help="prints the tool's C library's text for an errno, else Python's")


def pytest_collection_modifyitems(config, items):
    launcher, wine = config.getoption("--launcher"), Tool.of(config).wine
    skips = [("posix", wine, f"needs POSIX, runs under {launcher}"), ("wine", not wine, "runs only under wine"),
             ("linux", config.getoption("--portable"), "needs the Linux-only calls the portable host goes without"),
             ("libattr", config.getoption("--no-libattr"), "built without libattr, which says to keep these"),
             # CI runs as root: there a root-only row runs, and fails if it cannot mount.
             ("mounts", os.geteuid() != 0 and not os.environ.get("CI"), "needs root")]
    # A host tool cannot wrap a program that runs in an emulator.
    skips += [(needs, launcher and not wine, f"needs {needs} on the host, runs under {launcher}")
              for needs in ("strace", "mounts")]
    for item in items:
        for marker, applies, reason in skips:
            if applies and marker in item.keywords:
                item.add_marker(pytest.mark.skip(reason=reason))


def windows_path(path):  # an absolute path as wine shows it to Windows programs
    return "Z:" + str(path).replace("/", "\\")


class Tool:
    @staticmethod
    def of(config):
        """The session's tool, made once: a copy of the binary anyone may reach, for runs as other users (a checkout
        under /root is root's only), removed as the session ends. It needs only system libraries."""
        if not hasattr(config, "tool"):
            config.tool = Tool(config)
            config.add_cleanup(lambda: shutil.rmtree(Path(config.tool.path).parent))
        return config.tool

    def __init__(self, config):
        self.path = shutil.copy2(config.getoption("--dat2bmp"), tempfile.mkdtemp(prefix="dat2bmp-"))
        os.chmod(Path(self.path).parent, 0o755)
        self.launcher = shlex.split(config.getoption("--launcher"))
        self.wine = bool(self.launcher) and Path(self.launcher[0]).name.startswith("wine")
        self.sanitized, self.portable = config.getoption("--sanitized"), config.getoption("--portable")
        self.scanner, self.error_texts = config.getoption("--scanner"), config.getoption("--error-texts")
        self.checker = VALGRIND if config.getoption("--memcheck") else []

    def start(self, args, cwd, *, wrap=(), locale=None, **popen):
        """Starts the tool; wrap is a POSIX tool put before it and its launcher (strace, unshare), else memcheck. wine
        takes the arguments' encoding and ANSI code page from the locale: C.UTF-8 gives cp1252, ja_JP.UTF-8 cp932."""
        if locale and locale not in subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout.replace(
                "utf8", "UTF-8").split():
            pytest.skip(f"{locale} not generated (localedef -i ja_JP -f UTF-8 {locale})")
        wrap = wrap or self.checker
        env = dict(os.environ, LC_ALL=locale or ("C.UTF-8" if self.wine else "C"))
        if self.sanitized:
            # A traced LeakSanitizer cannot stop the threads it needs to.
            asan = f"allocator_may_return_null=1:detect_leaks={0 if wrap else 1}:exitcode={CHECKER_FAILED}"
            env.setdefault("ASAN_OPTIONS", asan)
            env.setdefault("UBSAN_OPTIONS", f"print_stacktrace=1:exitcode={CHECKER_FAILED}")
        streams = {"stdin": subprocess.DEVNULL, "stdout": subprocess.PIPE, "stderr": subprocess.PIPE}
        return subprocess.Popen([*wrap, *self.launcher, self.path, *args], cwd=cwd, env=env, **{**streams, **popen})

    def finish(self, process, timeout=120):
        try:
            out, err = process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:  # a hung tool is not left behind
            process.kill()
            process.communicate()
            raise
        decode = (lambda b: (b or b"").decode("utf-8", "replace").replace("\r\n", "\n"))  # None: not captured
        return Result(process.returncode, decode(out), decode(err))

    def run(self, args, cwd, timeout=120, **kw):
        return self.finish(self.start(args, cwd, **kw), timeout)

    @functools.cached_property
    def causes(self):
        """errno -> the C library's text for it, as the tool's reports end."""
        numbers = [0, *errno.errorcode]
        texts = subprocess.run([*self.launcher, self.error_texts, *map(str, numbers)], capture_output=True, text=True,
                               check=True).stdout.splitlines() if self.error_texts else map(os.strerror, numbers)
        return dict(zip(numbers, texts, strict=True))

    def words(self, message):
        """message with each {ENAME} (or {0}) put in the C library's words: musl's differ from glibc's."""
        return re.sub(r"\{(\w+)\}", lambda m: self.causes[int(m[1]) if m[1].isdigit() else getattr(errno, m[1])],
                      message)

    def scanner_start(self, cwd, *args):
        """tests/win32/scanner.cpp with args (its usage there), once it has said what it does."""
        if not self.scanner:
            pytest.skip("no --scanner given")
        scanner = subprocess.Popen([*self.launcher, self.scanner, *map(str, args)], cwd=cwd, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, text=True)
        assert scanner.stdout.readline().startswith(("watching ", "holding"))
        return scanner

    def trace(self, args, cwd, having="", **popen):
        """The tool's own system calls on this run (whose line has having) as (name, when), when counted from the
        process's start as strace --inject does; the tool's part (past the loader's) starts where misc.dat opens."""
        with tempfile.NamedTemporaryFile("r", suffix=".trace") as log:
            if "user" in popen:  # strace runs as that user too
                os.chown(log.name, popen["user"], -1)
            self.run(args, cwd, wrap=["strace", "-o", log.name], **popen)
            lines = log.read().splitlines()
        counts, calls, started = Counter(), [], False
        for line in lines:
            if match := re.match(r"(\w+)\(", line):
                counts[match[1]] += 1
                started = started or '"misc.dat"' in line
                if started and having in line:
                    calls.append((match[1], counts[match[1]]))
        return calls

    def inject(self, *faults):
        """strace wrapping that injects each NAME:...:when=N fault."""
        names = ",".join(dict.fromkeys(f.split(":")[0] for f in faults))
        return ["strace", "-o", os.devnull, "-e", f"trace={names}", *(f"--inject={f}" for f in faults)]


@pytest.fixture(scope="session")
def tool(pytestconfig):
    return Tool.of(pytestconfig)


@pytest.fixture(scope="session")
def bitmap():
    """A real 640x480 8-bit bitmap, and the same bytes as a data file: its header bytes and block junk."""
    from PIL import Image
    image = Image.new("P", (640, 480))
    image.putpalette(bytes((i * 7 + c * 85) % 256 for i in range(256) for c in range(3)))
    image.putdata([(x ^ y) % 256 for y in range(480) for x in range(640)])
    stream = io.BytesIO()
    image.save(stream, "BMP", dpi=(72, 72))
    original = stream.getvalue()
    scrambled = bytearray(original)
    for offset, length in FIELDS:
        scrambled[offset:offset + length] = bytes(length)
    scrambled[BLOCK] = bytes((i * 31 + 17) % 256 for i in range(1030))
    assert len(original) == 1078 + 640 * 480 and bytes(scrambled) != original
    return original, bytes(scrambled)


def as_user(uid, *groups):
    """How to start the tool as user uid, in group uid and groups only."""
    return {"user": uid, "group": uid, "extra_groups": list(groups)}


def row(name, *values, marks=()):
    """A parametrize row, named first: its id reads as a sentence."""
    return pytest.param(*values, id=name, marks=marks)


def marked(*marks):
    """The marks as one decorator."""
    return lambda test: functools.reduce(lambda test, mark: mark(test), marks, test)


def steps(*setups):
    """The setups in turn, as one: the run as the last one says."""
    return lambda w: functools.reduce(lambda _, setup: setup(w), setups, None)


nothing = steps()


def others_file(owner, mode, dir_mode, name="old.bmp"):
    """The file owner's, of mode, in a directory of dir_mode; the run as user 65534."""
    def setup(w):
        os.chmod(w.path, dir_mode)
        os.chown(w / name, owner, owner)
        os.chmod(w / name, mode)
        return as_user(65534)
    return setup


def calls(w, having=""):
    """When each system call (whose line has having) occurs on a successful run: name -> [when, ...]."""
    found = {}
    for name, when in w.tool.trace(["001.dat", "new.bmp"], w.path, having):
        found.setdefault(name, []).append(when)
    w.remove("new.bmp")
    return found


class Workdir:
    """A directory with misc.dat, the data file 001.dat and an old destfile old.bmp; makers of odd files."""

    def __init__(self, path, tool, bitmap):
        self.path, self.tool, self.cleanups = path, tool, []
        path.mkdir(exist_ok=True)
        self.original, self.scrambled = bitmap
        self.block = self.original[BLOCK]
        for name, data in (("misc.dat", self.block), ("001.dat", self.scrambled), ("old.bmp", OLD)):
            self.write(name, data)

    def __truediv__(self, name):
        return self.path / name

    def write(self, name, data):
        (self.path / name).write_bytes(data)

    def remove(self, name):
        (self.path / name).unlink()

    def mkdir(self, name):
        (self.path / name).mkdir()

    def link(self, name, target):
        (self.path / name).parent.mkdir(exist_ok=True)
        os.symlink(target, self.path / name)

    def chain(self, n):
        """l1.bmp, a link to l2.bmp, and so on: n links, the last to old.bmp by its absolute path."""
        for i in range(1, n + 1):
            self.link(f"l{i}.bmp", f"l{i + 1}.bmp" if i < n else str(self / "old.bmp"))

    def sparse(self, name, size):
        with open(self.path / name, "wb") as f:
            f.truncate(size)

    def chattr(self, name, flag):
        """Sets the attribute flag on name: a, append-only; i, immutable."""
        if subprocess.run(["chattr", f"+{flag}", self.path / name], capture_output=True).returncode:
            pytest.skip(f"this filesystem has no attribute {flag}")
        self.cleanups.append(lambda: subprocess.run(["chattr", f"-{flag}", self.path / name], check=True))

    def mount(self, name, *args):
        """Mounts on name, mount's other arguments before it, until the test ends."""
        subprocess.run(["mount", *args, self.path / name], check=True)
        self.cleanups.append(lambda: subprocess.run(["umount", self.path / name], check=True))

    def procfs(self):
        """A second procfs mount, outside the directory (which snapshot walks), until the test ends."""
        point = tempfile.mkdtemp(prefix="dat2bmp-proc-")
        run("mount", "-t", "proc", "proc", point)
        self.cleanups.append(lambda: (run("umount", point), os.rmdir(point)))
        return point

    def loop(self, name, size):
        """A block device of size bytes, its image beside it (snapshot reads what reached it), linked as name."""
        self.sparse(f"{name}.img", size)
        device = run("losetup", "-f", "--show", self / f"{name}.img")
        self.cleanups.append(lambda: run("losetup", "-d", device))
        self.link(name, device)

    def append_only(self, name):  # a directory holding an old destfile
        self.mkdir(name)
        self.write(f"{name}/old.bmp", OLD)
        self.chattr(name, "a")

    def drive(self):
        """A drive letter wine maps to the directory, until the test ends: its full paths fit a name's 63 bytes."""
        devices = Path(os.environ["WINEPREFIX"]) / "dosdevices"
        for letter in "mnopqrstuvwxy":
            try:
                os.symlink(self.path, devices / f"{letter}:")
            except FileExistsError:
                continue
            self.cleanups.append(lambda: os.unlink(devices / f"{letter}:"))
            return f"{letter.upper()}:"
        pytest.fail("no drive letter free")

    def snapshot(self):
        """What a user sees below the directory: names, kinds, bytes, modes."""
        seen = {}
        for root, dirs, files in os.walk(self.path):
            for entry in (Path(root) / name for name in dirs + files):
                st, key = entry.lstat(), entry.relative_to(self.path).as_posix()
                if entry.is_symlink():
                    seen[key] = ("link", os.readlink(entry))
                elif not stat.S_ISREG(st.st_mode):
                    seen[key] = ("other", st.st_mode)
                elif st.st_size > 1 << 24:  # the sparse giants
                    seen[key] = ("big", st.st_size, st.st_mtime_ns, st.st_mode)
                else:
                    seen[key] = (entry.read_bytes(), st.st_mode, st.st_uid, st.st_gid)
        return seen

    def run(self, args, **kw):
        return self.tool.run(args, self.path, **kw)

    def outcome(self, args, **kw):
        """A run's result, and what it changed: name -> what snapshot() sees there now (None: gone)."""
        before = self.snapshot()
        result, after = self.run(args, **kw), self.snapshot()
        return result, {name: after.get(name) for name in before | after if before.get(name) != after.get(name)}


@pytest.fixture
def work(tmp_path, tool, bitmap):
    w = Workdir(tmp_path, tool, bitmap)
    yield w
    for cleanup in w.cleanups:
        cleanup()


def concurrent_runs(w, dest, runs, tail, sources=None, gaps=False, spellings=(), **popen):
    """Runs at once onto dest from as many sources (each its own tail), naming it by each of its spellings in turn: all
    succeed, dest only ever holds its old bytes or one whole conversion (with gaps, is missing a moment: a rename in two
    steps), and nothing else is left."""
    sources, spellings = sources or runs, spellings or [dest]
    for i in range(sources):
        w.write(f"0{i}.dat", w.scrambled + bytes([i]) * tail)
    whole = {w.original + bytes([i]) * tail for i in range(sources)}
    names = sorted({*os.listdir(w.path), dest})
    processes = [w.tool.start([f"0{i % sources}.dat", spellings[i % len(spellings)]], w.path, **popen)
                 for i in range(runs)]
    seen = set()
    while any(p.poll() is None for p in processes):
        try:
            seen.add((w / dest).read_bytes())
        except FileNotFoundError:
            seen.add(None)
    results = [w.tool.finish(p) for p in processes]
    # wine itself, now and then, fails to start a process (its shared user data mapped where something else is):
    # that run never began, and is run again.
    results = [w.tool.run(p.args[len(w.tool.launcher) + 1:], w.path, **popen)
               if "failed to map the shared user data" in r.stderr else r for p, r in zip(processes, results)]
    assert results == [Result(0, "", "")] * runs
    assert seen <= whole | {OLD if dest == "old.bmp" else None} | ({None} if gaps else set())
    assert (w / dest).read_bytes() in whole
    assert sorted(os.listdir(w.path)) == names


def require(*commands):
    """Skips without a command, except in CI, where the group must run (as a root-only row must)."""
    if missing := [command for command in commands if not shutil.which(command)]:
        (pytest.fail if os.environ.get("CI") else pytest.skip)(f"needs {', '.join(missing)}")


def run(*command):
    done = subprocess.run([str(arg) for arg in command], capture_output=True, text=True)
    assert done.returncode == 0, f"{command}: {done.stderr}"
    return done.stdout.strip()


@contextmanager
def mounted(kind, where, options=()):
    """A fresh filesystem mounted on where/mnt, with options for its mount; unmounted (lazily if something still
    holds it), its loop device and image gone however the block ends."""
    size, mkfs, mount = FILESYSTEMS[kind]
    require(*(mkfs or [])[:1], mount[0], *(["losetup"] if kind == "exfat" else []))
    point, device, loop = where / "mnt", kind, None
    point.mkdir()
    try:
        if mkfs:
            device = where / f"{kind}.img"
            run("truncate", "-s", f"{size}M", device)
            run(*mkfs, device)
        if kind == "exfat":
            device = loop = run("losetup", "-f", "--show", device)
        run(*mount, *options, device, point)
        yield point
    finally:
        if subprocess.run(["umount", point], capture_output=True).returncode:
            subprocess.run(["umount", "-l", point], capture_output=True)
        if loop:
            subprocess.run(["losetup", "-d", loop])
        for image in where.glob("*.img"):
            image.unlink()
