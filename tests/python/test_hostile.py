"""Hostile input from Python: a table of bad values for every parameter of every method."""

import operator

import pytest

import quorvex
from quorvex import Whence

M = 1 << 20
Text, Blob, Int = type("Text", (str,), {}), type("Blob", (bytes,), {}), type("Int", (int,), {})


class Index:
    """Converts to `value` through __index__, or raises it."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class Nameless(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError(name)
        return type.__getattribute__(cls, name)


Opaque = Nameless("Opaque", (), {})  # its instances' type will not tell its name


class World:
    def __init__(self, levels=0):
        self.fs = quorvex.PyFs()
        for path in ["/d", "/e"] + ["/c" * depth for depth in range(1, levels + 1)]:
            self.fs.mkdir(path)
        self.fs.touch("/d/f")
        self.h = self.fs.open("/h", "rw")
        self.h.write(b"abc")
        self.t = quorvex.PyTerm(self.fs)


# "method.parameter" ("@n": with /c/c/... made n levels deep) -> (call, conversion's name)
PARAMS = {
    "mkdir.path": (lambda w, v: w.fs.mkdir(v), "PyString"),
    "touch.path": (lambda w, v: w.fs.touch(v), "PyString"),
    "open.path": (lambda w, v: w.fs.open(v, "w"), "PyString"),
    "open.mode": (lambda w, v: w.fs.open("/o", v), "PyString"),
    "listdir.path": (lambda w, v: w.fs.listdir(v), "PyString"),
    "remove.path": (lambda w, v: w.fs.remove(v, False), "PyString"),
    "remove.recurse": (lambda w, v: w.fs.remove("/e", v), "PyBool"),
    "tree.path": (lambda w, v: w.fs.tree(v), "PyString"),
    "tree.ident": (lambda w, v: w.fs.tree("/", v), "PyString"),
    "read.buffer": (lambda w, v: w.h.read(v), None),
    "write.buffer": (lambda w, v: w.h.write(v), "PyBytes"),
    "seek.offset": (lambda w, v: w.h.seek(v, Whence.SEEK_SET), None),
    "seek.whence": (lambda w, v: w.h.seek(0, v), "Whence"),
    "PyTerm.fs": (lambda w, v: quorvex.PyTerm(v), "PyFs"),
    "exec.command": (lambda w, v: w.t.exec(v), "PyString"),
    "mkdir.**": (lambda w, v: w.fs.mkdir(**v), None),
    "tree.*": (lambda w, v: w.fs.tree(*v), None),
}
PARAMS.update({f"{key}@{levels}": PARAMS[key] for levels in (63, 64)
               for key in ("mkdir.path", "touch.path", "open.path", "tree.path", "remove.path")})

# Expected outcomes: REFUSED (TypeError naming the parameter and the value's type, with the
# conversion's error as cause), INDEX (the interpreter's TypeError of the index conversion,
# prefixed likewise), (exception type, whole message or None: raised as it is, no cause),
# ("like", plain value: the same outcome and effect), ("gives", check(result, world, value)).
REFUSED, INDEX = "refused", "index"
ROWS = []


def rows(params, *cases):
    for param in params:
        ROWS.extend(pytest.param(param, value, expected, id=f"{param}:{repr(value)[:30]}")
                    for value, expected in cases)


def listed(where, kind=1):
    """The value's last component is now the last entry (0 files, 1 directories) of `where`."""
    return "gives", lambda r, w, v: w.fs.listdir(where)[kind][-1] == v.rsplit("/")[-1]


STRINGS = {"mkdir.path": "/q", "touch.path": "/q", "open.path": "/q", "open.mode": "rw",
           "listdir.path": "/d", "remove.path": "/e", "tree.path": "/", "tree.ident": "--",
           "exec.command": "ls d"}
rows(STRINGS, *[(v, REFUSED) for v in (5, 1.5, b"/d", bytearray(b"/d"), memoryview(b"/d"),
                                       ["/d"], Whence.SEEK_SET, Opaque(), Int(1))],
     ("\udc80", (UnicodeEncodeError, None)), ("/a\ud800", (UnicodeEncodeError, None)))
rows([p for p in STRINGS if p != "tree.ident"], (None, REFUSED))
for param, plain in STRINGS.items():
    rows([param], (Text(plain), ("like", plain)))
rows(["tree.ident"], (None, ("like", "")))
rows(["read.buffer", "seek.offset"],
     *[(v, INDEX) for v in (1.5, "1", None, b"1", Whence.SEEK_END, Index("1"), Index(1.0))],
     (Index(ZeroDivisionError("index")), (ZeroDivisionError, "index")),
     *[(v, (OverflowError, None)) for v in (-1, 2**64, -(2**100), 2**200, Index(-1),
                                            Index(2**64))],
     (True, ("like", 1)), (False, ("like", 0)), (Int(2), ("like", 2)), (Index(2), ("like", 2)))
rows(["read.buffer"], (2**64 - 1, ("gives", lambda r, w, v: r == b"abc")))
rows(["seek.offset"], (2**64 - 1, ("gives", lambda r, w, v: r is None and w.h.tell() == 3)))
rows(["write.buffer"], *[(v, REFUSED) for v in (bytearray(b"x"), memoryview(b"x"), "x", 5, None,
                                                [120], Opaque())],
     (Blob(b"xy"), ("like", b"xy")),
     (b"", ("gives", lambda r, w, v: r == 0 and w.h.read(9) == b"abc")),
     (bytes(4 * M), ("gives", lambda r, w, v: r == 4 * M and w.h.read(9) == bytes(9))))
rows(["remove.recurse"], *[(v, REFUSED) for v in (1, 0, None, "True", 1.0, Int(1), Opaque())])
rows(["seek.whence"], *[(v, REFUSED) for v in (0, 1, None, "SEEK_SET", Whence, Opaque())])
rows(["PyTerm.fs"], *[(v, REFUSED) for v in (5, None, "/", quorvex.PyFs, Opaque())])

# NUL characters, names and paths of megabytes, paths of many thousand components.
BIG = "n" * (4 * M)
rows(["mkdir.path"], ("/a\0b", listed("/")), ("/" + BIG, listed("/")),
     ("/" * M, (ValueError, "Resource already exists")),
     ("/x" * 100000, (ValueError, "Inode not found")),
     ("/d" + "/." * 100000 + "/n", ("like", "/d/n")))
rows(["touch.path"], ("/d/\0", listed("/d", 0)), ("/d/" + BIG, listed("/d", 0)))
rows(["open.path"], ("/\0", listed("/", 0)), ("/" + "é" * (2 * M), listed("/", 0)))
rows(["open.mode"], *[(v, (ValueError, "Unrecognized file mode")) for v in ("r\0", "r" * M)])
rows(["listdir.path", "tree.path", "remove.path"],
     *[(v, (ValueError, "Inode not found")) for v in ("/d\0", "/" + BIG)])
rows(["listdir.path"], *[(v, ("like", "/")) for v in ("/." * 500000, "/d/.." * 50000, "\\" * M)],
     ("/d" + "/f/.." * 50000, ("like", "/d")))
rows(["tree.ident"], ("\0", ("gives", lambda r, w, v: r == "\0d/\n\0  f\n\0e/\n\0h\n")),
     ("-" * M, ("gives", lambda r, w, v: r.split("\n")[1] == v + "  f")))
rows(["exec.command"], ("\0", (ValueError, "\0: command not found")),
     ("mkdir a\0b", ("gives", lambda r, w, v: r == "" and w.fs.listdir("/")[1][-1] == "a\0b")),
     ("x" * (4 * M), (ValueError, "x" * (4 * M) + ": command not found")),
     ("mkdir " + BIG, ("gives", lambda r, w, v: r == "" and w.fs.listdir("/")[1][-1] == BIG)),
     ("cat '" + BIG, (ValueError, "The command was not correctly formatted")))
rows(["mkdir.**"], ({Text("path"): "/q"}, ("like", {"path": "/q"})),
     ({"\udc80": "/q"},
      (TypeError, "PyFs.mkdir() got an unexpected keyword argument '\udc80'")))
rows(["tree.*"], (range(10000), (TypeError, "PyFs.tree() takes from 1 to 2 positional "
                                            "arguments but 10000 were given")))
# 64 levels below the root can be made, a 65th cannot.
DEEP = "/c" * 64
rows(["mkdir.path@63", "touch.path@63", "open.path@63"],
     (DEEP, ("gives", lambda r, w, v: sum(w.fs.listdir(v[:-2]), []) == ["c"])))
rows(["mkdir.path@64", "touch.path@64", "open.path@64"],
     (DEEP + "/c", (ValueError, "Maximum filesystem depth exceeded")))
rows(["tree.path@64"], ("/c", ("gives", lambda r, w, v: r.count("\n") == 63)),
     (DEEP, ("like", "/e")))
rows(["remove.path@64"], *[(v, (ValueError, "Directory is not empty"))
                           for v in ("/c", DEEP + "/.." * 63)],
     (DEEP, ("gives", lambda r, w, v: r is None and w.fs.tree("/c").count("\n") == 62)))


def outcome(call, world, value):
    try:
        result = call(world, value)
    except Exception as error:  # noqa: BLE001 - compared by type and message
        return type(error), str(error)
    return str(result) if isinstance(result, quorvex.PyFileHandle) else result


def type_name(value):
    try:
        return type(value).__qualname__
    except RuntimeError:
        return "<failed to extract type name>"


@pytest.mark.parametrize("param, value, expected", ROWS)
def test_hostile_input(param, value, expected, capfd):
    call, conversion = PARAMS[param]
    name, _, levels = param.split(".")[1].partition("@")
    world = World(int(levels or 0))
    if expected[0] == "like":
        other = World(int(levels or 0))
        assert outcome(call, world, value) == outcome(call, other, expected[1])
        assert str(world.fs) == str(other.fs)
    elif expected[0] == "gives":
        assert expected[1](call(world, value), world, value)
    else:
        if expected == REFUSED:
            kind = cause = TypeError
            message = (f"argument '{name}': '{type_name(value)}' object cannot be converted "
                       f"to '{conversion}'")
        elif expected == INDEX:
            kind = cause = TypeError
            with pytest.raises(TypeError) as interpreter:
                operator.index(value)
            message = f"argument '{name}': {interpreter.value}"
        else:
            (kind, message), cause = expected, type(None)
        with pytest.raises(kind) as raised:
            call(world, value)
        assert type(raised.value) is kind and type(raised.value.__cause__) is cause
        if message is not None:
            assert str(raised.value) == message
        if cause is TypeError:
            assert message == f"argument '{name}': {raised.value.__cause__}"
        else:
            assert not str(raised.value).startswith("argument")
    capfd.readouterr()
