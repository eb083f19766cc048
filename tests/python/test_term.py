import gc
import platform

import pytest

import quorvex


@pytest.fixture
def term(fs):
    return quorvex.PyTerm(fs)


def test_construction_by_keyword(fs):
    assert quorvex.PyTerm(fs=fs).exec("pwd") == "/"


def test_terminal_and_file_system_share_their_data(fs, term):
    assert term.exec("mkdir docs") == ""
    assert fs.listdir("/") == ([], ["docs"])
    fs.touch("/notes.txt")
    assert term.exec("ls") == "notes.txt\ndocs/\n"
    h = fs.open("/notes.txt", "w")
    h.write(b"hello")
    in_use = "^cat: cannot access 'notes.txt': Resource is currently in use$"
    with pytest.raises(ValueError, match=in_use):
        term.exec("cat notes.txt")
    h.close()
    assert term.exec(command="cat notes.txt") == "hello"
    fs.open("/notes.txt", "w").close()  # cat gave its lock back


def test_terminals_have_their_own_working_directory(fs, term):
    other = quorvex.PyTerm(fs)
    term.exec("mkdir docs")
    term.exec("cd docs")
    assert term.exec("pwd") == "/docs"
    assert other.exec("pwd") == "/"


@pytest.mark.parametrize(
    "line, message",
    [
        ("foo", "foo: command not found"),
        ("ls 'open", "The command was not correctly formatted"),
        ('"" x', ": command not found"),
        ("cd nosuch", "cd: cannot access 'nosuch': nosuch: Inode not found"),
        ("cd a\0b", "cd: cannot access 'a\0b': a\0b: Inode not found"),
    ],
)
def test_failures_raise_value_error_and_leave_the_terminal_usable(term, line, message,
                                                                  raises_exactly):
    term.exec("mkdir d")
    term.exec("cd d")
    with raises_exactly(ValueError, message) as info:
        term.exec(line)
    assert info.value.args == (message,) and info.value.__cause__ is None
    assert term.exec("pwd") == "/d"


def test_output_text(term):
    assert term.exec("") == ""
    # The command table's order, the same on every call.
    assert term.exec("help") == "cd\nls\npwd\ncat\nmkdir\ntouch\nhelp\n"
    assert term.exec("help") == term.exec("help me")
    term.exec("touch f")
    assert term.exec("ls") == "f\n"


@pytest.mark.skipif(platform.python_implementation() == "PyPy",
                    reason="an unclosed handle gives its lock back only when PyPy's collector runs")
def test_non_utf8_file_contents_come_out_replaced(fs, term):
    fs.open("/b", "w").write(b"a\xffb")
    assert term.exec("cat b") == "a\ufffdb"


def test_terminal_keeps_the_file_system_alive():
    fs = quorvex.PyFs()
    fs.mkdir("kept")
    term = quorvex.PyTerm(fs)
    del fs
    gc.collect()
    assert term.exec("ls") == "kept/\n"
