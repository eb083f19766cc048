import ctypes
import platform
import sys
import weakref

import pytest

import quorvex
from conftest import ROOT_ONLY

CLASSES = ["PyFs", "PyFileHandle", "PyTerm", "Whence"]


def test_module_attributes():
    assert quorvex.__all__ == CLASSES
    assert quorvex.__doc__ == ""
    public = {name for name in vars(quorvex) if not name.startswith("__")}
    assert public == set(CLASSES)


@pytest.mark.skipif(platform.python_implementation() == "PyPy",
                    reason="PyPy's ctypes has no PyDLL to call the entry point with")
def test_second_initialisation_returns_the_same_module():
    init = ctypes.PyDLL(quorvex.__file__).PyInit_quorvex
    init.restype = ctypes.py_object
    assert init() is sys.modules["quorvex"]


@pytest.mark.parametrize("name", CLASSES)
def test_class_properties(name):
    cls = getattr(quorvex, name)
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == name
    assert cls.__bases__ == (object,)
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (cls,), {})
    if sys.implementation.name == "cpython" and sys.version_info >= (3, 10):
        with pytest.raises(TypeError, match="immutable type"):
            cls.extra = 1


@pytest.mark.skipif(platform.python_implementation() == "PyPy",
                    reason="PyPy allows weak references to every object")
def test_instances_have_no_dict_and_no_weakrefs(fs):
    with pytest.raises(AttributeError):
        fs.attribute = 1
    with pytest.raises(TypeError):
        weakref.ref(fs)


@pytest.mark.parametrize("cls", [quorvex.PyFileHandle, quorvex.Whence])
def test_classes_without_constructor(cls, raises_exactly):
    with raises_exactly(TypeError, "No constructor defined"):
        cls()


# Before 3.10 a class made by PyType_FromSpec keeps its doc without the signature line.
SIGNATURES_KEPT = sys.version_info >= (3, 10) or platform.python_implementation() == "PyPy"


def test_class_documentation():
    assert quorvex.PyFs.__text_signature__ == ("()" if SIGNATURES_KEPT else None)
    assert quorvex.PyFs.__doc__ == (
        "\nA highly simplified binding for a simple filesystem.\n\n"
        "This class is a simple wrapper around the FileSystem struct. It defines\n"
        "the basis for a small filesystem that can be used in Python. The filesystem\n"
        "can handle files, nested directories and symlinks.\n\n"
        "The filesystem is thread-safe and can be shared between multiple threads.\n"
    )
    assert quorvex.PyTerm.__text_signature__ == ("(fs)" if SIGNATURES_KEPT else None)
    assert quorvex.PyTerm.__doc__ == "\nA structure representing a simple terminal\n"
    assert quorvex.Whence.__text_signature__ is None
    assert quorvex.Whence.__doc__ == (
        "\nA small enumeration to determine the whence\nwhen seeking in a file.\n"
    )
    assert quorvex.PyFileHandle.__doc__.startswith(
        "\nA simple wrapper around the FileHandle struct.\n\nThis class is"
    )
    assert quorvex.PyFileHandle.__doc__.endswith("read and write data to the file.\n")


@pytest.mark.parametrize(
    "method, signature, first_line",
    [
        (quorvex.PyFs.mkdir, "($self, path)", "Create a new directory in the filesystem."),
        (quorvex.PyFs.touch, "($self, path)", "Create a new file in the filesystem."),
        (quorvex.PyFs.open, "($self, path, mode)", "Open a file in the filesystem."),
        (quorvex.PyFs.listdir, "($self, path)", "List the contents of a directory."),
        (quorvex.PyFs.remove, "(recurse=False)", "Remove a file from the filesystem."),
        (quorvex.PyFs.tree, "($self, path, ident=None)", "Debug the file system"),
        (quorvex.PyFileHandle.id, "($self)",
         "Returns a string representation of the file handle."),
        (quorvex.PyFileHandle.close, "($self)", "Close the file handle."),
        (quorvex.PyFileHandle.read, "($self, buffer)", "Read data from the file handle."),
        (quorvex.PyFileHandle.write, "($self, buffer)", "Write data to the file handle."),
        (quorvex.PyFileHandle.seek, "($self, offset, whence)",
         "Seek a certain position in the file."),
        (quorvex.PyFileHandle.tell, "($self)", "Tell the current position in the file."),
        (quorvex.PyTerm.exec, "($self, command)", "Execute a command in the terminal."),
        # The members added for Python's file objects.
        (quorvex.PyFs.open_existing, "($self, path, mode)", "Open a file that already exists."),
        (quorvex.PyFs.rename, "($self, src, dst)",
         "Move a file or directory to a new path, as one step."),
        (quorvex.PyFileHandle.readinto, "($self, buffer)",
         "Read data from the file handle into a writable buffer."),
        (quorvex.PyFileHandle.truncate, "($self, size)", "Set the length of the file."),
        (quorvex.PyFileHandle.write_from, "($self, buffer)",
         "Write data from any buffer to the file handle and move the offset."),
        (quorvex.PyFs.open_shared, "($self, path, flags)",
         "Open a file with a handle that never blocks and is never blocked."),
        (quorvex.PyFs.stat, "($self, path)", "Describe the node at a path."),
        (quorvex.PyFs.set_times, "($self, path, mtime_ns)",
         "Set the modification time of the node at a path."),
        (quorvex.PyFs.set_limits, "($self, max_bytes=None, max_nodes=None)",
         "Limit the bytes of all files and the number of nodes."),
        (quorvex.PyFs.usage, "($self)", "Return (bytes, nodes): what the filesystem holds."),
        (quorvex.PyFileHandle.stat, "($self)", "Describe the handle's file, as PyFs.stat does."),
    ],
)
@pytest.mark.skipif(platform.python_implementation() == "PyPy",
                    reason="PyPy's C method descriptors have no __doc__ or __text_signature__")
def test_method_documentation(method, signature, first_line):
    assert method.__text_signature__ == signature
    assert method.__doc__.startswith("\n" + first_line + "\n")
    assert method.__doc__.endswith("\n") and not method.__doc__.endswith("\n\n")


def test_pyfs_has_default_repr_and_str_renders(fs):
    assert repr(fs).startswith("<builtins.PyFs object at 0x")
    assert str(fs) == ROOT_ONLY


@pytest.mark.parametrize("cls, members", [
    (quorvex.PyFs, {"mkdir", "touch", "open", "listdir", "remove", "tree", "open_existing",
                    "open_shared", "open_file", "stat", "set_times", "set_limits", "usage",
                    "rename"}),
    (quorvex.PyFileHandle, {"id", "close", "read", "write", "seek", "tell",
                            "readinto", "truncate", "write_from", "stat"}),
    (quorvex.PyTerm, {"exec"}),
])
def test_classes_have_exactly_their_methods(cls, members):
    own = {name for name, value in vars(cls).items()
           if callable(value) and name not in object.__dict__
           and name not in {"__new__", "__init__", "__str__", "__repr__"}}
    assert own == members
