import pytest

from conftest import Result, row, windows_path


def usage(name):
    return (f"\nusage: {name} [<sourcefile> <destfile>]\n"
            "       ---[Examples]-----------------------\n"
            f"       {name} 001.dat items.bmp\n"
            f"       {name} 002.dat corpses.bmp\n"
            f"       {name} 003.dat critters.bmp\n"
            f"       {name} 004.dat terrain.bmp\n"
            "\n\n"
            f"{name} is NOT for public use.\n")


# Without misc.dat, so that a run that went past the arguments would say so.
@pytest.mark.parametrize("args, argv0", [
    row("no arguments", [], None),
    row("one argument", ["001.dat"], None),
    row("three arguments", ["001.dat", "out.bmp", "extra"], None),
    row("sourcefile not starting with zero", ["1.dat", "out.bmp"], None, marks=pytest.mark.memcheck),
    row("sourcefile with a directory before its name", ["./001.dat", "out.bmp"], None),
    row("sourcefile starting with a full-width zero", ["０01.dat", "out.bmp"], None),
    row("empty sourcefile", ["", "out.bmp"], None),
    row("another invocation name, with a blank", ["1.dat", "out.bmp"], "bin/x y", marks=pytest.mark.posix),
])
def test_wrong_arguments_print_usage_and_touch_nothing(work, args, argv0):
    work.remove("misc.dat")
    before = work.snapshot()
    name = argv0 or work.tool.path  # wine hands a program its path as Windows writes it, on Z:
    assert work.run(args, argv0=argv0) == Result(1, usage(windows_path(name) if work.tool.wine else name), "")
    assert work.snapshot() == before
