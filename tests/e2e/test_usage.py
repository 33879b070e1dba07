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
@pytest.mark.parametrize("args", [
    row("no arguments", []),
    row("one argument", ["001.dat"]),
    row("three arguments", ["001.dat", "out.bmp", "extra"]),
    row("sourcefile not starting with zero", ["1.dat", "out.bmp"], marks=pytest.mark.memcheck),
    row("sourcefile with a directory before its name", ["./001.dat", "out.bmp"]),
    row("sourcefile starting with a full-width zero", ["０01.dat", "out.bmp"]),
    row("empty sourcefile", ["", "out.bmp"]),
])
def test_wrong_arguments_print_usage_and_touch_nothing(work, args):
    work.remove("misc.dat")
    name = windows_path(work.tool.path) if work.tool.wine else work.tool.path  # wine: as Windows writes it
    assert work.outcome(args) == (Result(1, usage(name), ""), {})
