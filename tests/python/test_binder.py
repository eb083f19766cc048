"""Argument binding and conversion, shared by every method and constructor."""

import platform
import sys

import pytest

import quorvex

FS = quorvex.PyFs()
FS.touch("/f")


def handle():
    return FS.open("/f", "rw")


def term():
    return quorvex.PyTerm(FS)


BINDING_ERRORS = [
    (lambda: quorvex.PyFs(1), "PyFs.__new__() takes 0 positional arguments but 1 was given"),
    (lambda: quorvex.PyFs(1, 2), "PyFs.__new__() takes 0 positional arguments but 2 were given"),
    (lambda: quorvex.PyFs(x=1), "PyFs.__new__() got an unexpected keyword argument 'x'"),
    (lambda: FS.mkdir("a", "b"), "PyFs.mkdir() takes 1 positional arguments but 2 were given"),
    (lambda: FS.mkdir(), "PyFs.mkdir() missing 1 required positional argument: 'path'"),
    (lambda: FS.mkdir(pth="a"), "PyFs.mkdir() got an unexpected keyword argument 'pth'"),
    (lambda: FS.touch("a", path="a"), "PyFs.touch() got multiple values for argument 'path'"),
    (lambda: FS.open(), "PyFs.open() missing 2 required positional arguments: 'path' and 'mode'"),
    (lambda: FS.open(mode="r"), "PyFs.open() missing 1 required positional argument: 'path'"),
    (lambda: FS.listdir("/", "/"), "PyFs.listdir() takes 1 positional arguments but 2 were given"),
    (lambda: FS.remove("/f"), "PyFs.remove() missing 1 required positional argument: 'recurse'"),
    (lambda: FS.remove(recurse=True),
     "PyFs.remove() missing 1 required positional argument: 'path'"),
    (lambda: FS.tree(), "PyFs.tree() missing 1 required positional argument: 'path'"),
    (lambda: FS.tree("/", "", ""),
     "PyFs.tree() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: FS.tree("/", indent=""), "PyFs.tree() got an unexpected keyword argument 'indent'"),
    (lambda: handle().read(),
     "PyFileHandle.read() missing 1 required positional argument: 'buffer'"),
    (lambda: handle().seek(),
     "PyFileHandle.seek() missing 2 required positional arguments: 'offset' and 'whence'"),
    (lambda: handle().seek(0, quorvex.Whence.SEEK_SET, 0),
     "PyFileHandle.seek() takes 2 positional arguments but 3 were given"),
    (lambda: handle().seek(0, offset=0),
     "PyFileHandle.seek() got multiple values for argument 'offset'"),
    (lambda: handle().write(data=b""),
     "PyFileHandle.write() got an unexpected keyword argument 'data'"),
    (lambda: quorvex.PyTerm(), "PyTerm.__new__() missing 1 required positional argument: 'fs'"),
    (lambda: quorvex.PyTerm(FS, FS),
     "PyTerm.__new__() takes 1 positional arguments but 2 were given"),
    (lambda: term().exec(), "PyTerm.exec() missing 1 required positional argument: 'command'"),
    (lambda: term().exec("ls", cmd="ls"), "PyTerm.exec() got an unexpected keyword argument 'cmd'"),
]


@pytest.mark.parametrize("call, message", BINDING_ERRORS)
def test_binding_errors(call, message, raises_exactly):
    with raises_exactly(TypeError, message) as info:
        call()
    assert info.value.__cause__ is None


class Outer:
    class Inner:
        pass


class Text(str):
    pass


class Blob(bytes):
    pass


class Index:
    def __index__(self):
        return 3


CONVERSION_ERRORS = [
    (lambda: FS.mkdir(b"a"), "path", "'bytes' object cannot be converted to 'PyString'"),
    (lambda: FS.touch(1), "path", "'int' object cannot be converted to 'PyString'"),
    (lambda: FS.open("/f", None), "mode", "'NoneType' object cannot be converted to 'PyString'"),
    (lambda: FS.tree("/", ident=5), "ident", "'int' object cannot be converted to 'PyString'"),
    (lambda: FS.listdir(Outer.Inner()), "path",
     "'Outer.Inner' object cannot be converted to 'PyString'"),
    (lambda: FS.remove("/nope", 1), "recurse", "'int' object cannot be converted to 'PyBool'"),
    (lambda: FS.remove("/nope", None), "recurse",
     "'NoneType' object cannot be converted to 'PyBool'"),
    (lambda: handle().write(bytearray(b"x")), "buffer",
     "'bytearray' object cannot be converted to 'PyBytes'"),
    (lambda: handle().write(memoryview(b"x")), "buffer",
     "'memoryview' object cannot be converted to 'PyBytes'"),
    (lambda: handle().write("x"), "buffer", "'str' object cannot be converted to 'PyBytes'"),
    (lambda: handle().read(1.0), "buffer", "'float' object cannot be interpreted as an integer"),
    (lambda: handle().seek(0, 0), "whence", "'int' object cannot be converted to 'Whence'"),
    (lambda: quorvex.PyTerm(5), "fs", "'int' object cannot be converted to 'PyFs'"),
    (lambda: quorvex.PyTerm(fs=term()), "fs", "'PyTerm' object cannot be converted to 'PyFs'"),
    (lambda: term().exec(5), "command", "'int' object cannot be converted to 'PyString'"),
]


@pytest.mark.parametrize("call, name, message", CONVERSION_ERRORS)
def test_conversion_errors_name_the_argument_and_keep_the_cause(call, name, message,
                                                                 raises_exactly):
    with raises_exactly(TypeError, f"argument '{name}': {message}") as info:
        call()
    cause = info.value.__cause__
    assert type(cause) is TypeError and str(cause) == message


@pytest.mark.skipif(platform.python_implementation() == "PyPy",
                    reason="PyPy's own index-conversion message names the type without its module")
def test_the_first_failing_conversion_wins(raises_exactly):
    with raises_exactly(TypeError,
                        "argument 'path': 'int' object cannot be converted to 'PyString'"):
        FS.open(1, 2)
    with raises_exactly(TypeError, "argument 'offset': 'builtins.Whence' object cannot be "
                                   "interpreted as an integer"):
        handle().seek(quorvex.Whence.SEEK_SET, quorvex.Whence.SEEK_SET)


@pytest.mark.parametrize(
    "call",
    [
        lambda: handle().read(-1),
        lambda: handle().read(2**64),
        lambda: handle().seek(-1, quorvex.Whence.SEEK_SET),
    ],
)
def test_out_of_range_sizes_raise_overflow_unchanged(call):
    with pytest.raises(OverflowError) as info:
        call()
    assert info.value.__cause__ is None


def test_unencodable_text_raises_unicode_error_unchanged():
    with pytest.raises(UnicodeEncodeError):
        FS.mkdir("\udc80")


def test_accepted_argument_kinds(fs, capfd):
    fs.mkdir(Text("d"))
    fs.mkdir(**{"".join(["pa", "th"]): "e"})  # a keyword that is not the interned name
    fs.remove(path="e", recurse=False)
    assert fs.listdir(path=Text("/")) == ([], ["d"])
    assert fs.tree("/", None) == fs.tree("/") == "d/\n"
    h = fs.open(mode="rw", path="/d/f")
    assert h.write(Blob(b"abcd")) == 4
    h.seek(whence=quorvex.Whence.SEEK_SET, offset=Index())
    assert h.tell() == 3
    h.seek(False, quorvex.Whence.SEEK_SET)
    assert h.read(True) == b"a"
    assert h.read(buffer=2**64 - 1) == b"bcd"


def test_numpy_booleans_are_accepted(fs):
    np = pytest.importorskip("numpy")
    fs.mkdir("/d")
    fs.touch("/d/f")
    with pytest.raises(ValueError, match="^Directory is not empty$"):
        fs.remove("/d", np.False_)
    fs.remove("/d", np.True_)
    assert fs.listdir("/") == ([], [])
    with pytest.raises(TypeError, match="'int64' object cannot be converted to 'PyBool'"):
        fs.remove("/d", np.int64(1))


@pytest.mark.skipif(platform.python_implementation() == "PyPy",
                    reason="the interpreter words this message; PyPy leaves out the class name")
def test_methods_without_parameters_take_no_arguments():
    # Python 3.8 names the method without its class.
    owner = r"PyFileHandle\." if sys.version_info >= (3, 9) else ""
    with pytest.raises(TypeError, match=rf"^{owner}tell\(\) takes no arguments \(1 given\)$"):
        handle().tell(0)
