import errno
import re

import pytest
from hypothesis import given, settings, strategies as st

import quorvex
from conftest import ROOT_ONLY


def test_new_file_systems_are_independent():
    first, second = quorvex.PyFs(), quorvex.PyFs()
    assert first.mkdir("a") is None
    assert second.listdir("/") == ([], [])
    assert str(second) == ROOT_ONLY


def test_str_renders_the_whole_file_system(fs):
    fs.mkdir("docs")
    fs.touch('docs/q"\n')
    root = ('0: INode { id: 0, parent: 0, depth: 0, name: "", data: RwLock { data: Directory '
            "{ children: [1] }, poisoned: false, .. } }")
    docs = ('1: INode { id: 1, parent: 0, depth: 1, name: "docs", data: RwLock { data: '
            "Directory { children: [2] }, poisoned: false, .. } }")
    file = ('2: INode { id: 2, parent: 1, depth: 2, name: "q\\"\\n", data: RwLock { data: '
            "File { data: FileData { data: [] }, lock: FileLock { flag: 0 } }, "
            "poisoned: false, .. } }")
    text = str(fs)
    assert text.startswith("FileSystem { inodes: {") and text.endswith("}, next_inode_id: 3 }")
    entries = text[len("FileSystem { inodes: {"):-len("}, next_inode_id: 3 }")]
    assert sorted([root, docs, file]) == sorted(split_entries(entries))


def split_entries(text):
    """Splits the inode map at the entry boundaries (" }, N: INode")."""
    return re.split(r"(?<= \}), (?=\d+: INode )", text)


@pytest.mark.parametrize(
    "setup, call, message",
    [
        (["a"], lambda fs: fs.mkdir("a"), "Resource already exists"),
        ([], lambda fs: fs.mkdir("x/y"), "Inode not found"),
        ([], lambda fs: fs.mkdir("/"), "Resource already exists"),
        ([], lambda fs: fs.touch("."), "Resource already exists"),
        (["f:file"], lambda fs: fs.touch("f/g"), "The specified INode is not a directory"),
        (["f:file"], lambda fs: fs.mkdir("f"), "Resource already exists"),
    ],
)
def test_creation_failures(fs, setup, call, message, raises_exactly):
    for item in setup:
        name, _, kind = item.partition(":")
        (fs.touch if kind == "file" else fs.mkdir)(name)
    before = fs.listdir("/")
    with raises_exactly(ValueError, message) as info:
        call(fs)
    assert info.value.args == (message,) and info.value.__cause__ is None
    assert fs.listdir("/") == before


@pytest.mark.parametrize(
    "call, kind, number",
    [
        (lambda fs: fs.mkdir("x/y"), "InodeNotFound", errno.ENOENT),
        (lambda fs: fs.mkdir("/"), "ResourceAlreadyExists", errno.EEXIST),
        (lambda fs: fs.listdir("/f"), "NotADirectory", errno.ENOTDIR),
        (lambda fs: fs.open("/d", "r"), "NotAFile", errno.EISDIR),
        (lambda fs: fs.open("/f", "x"), "UnrecognizedFileMode", errno.EINVAL),
        (lambda fs: fs.remove("/d", False), "DirectoryIsNotEmpty", errno.ENOTEMPTY),
        (lambda fs: (fs.open("/f", "w"), fs.open("/f", "r")), "ResourceCurrentInUse", errno.EBUSY),
        (lambda fs: fs.rename("/d", "/d/g/x"), "NotADirectory", errno.ENOTDIR),
        (lambda fs: fs.rename("/", "/x"), "ResourceCurrentInUse", errno.EBUSY),
        (lambda fs: (fs.mkdir("/d/e"), fs.rename("/d", "/d/e/x")), "InvalidMove", errno.EINVAL),
    ],
)
def test_failures_carry_their_kind_and_errno(fs, call, kind, number):
    fs.touch("f")
    fs.mkdir("d")
    fs.touch("d/g")
    with pytest.raises(ValueError) as info:
        call(fs)
    assert type(info.value) is ValueError and len(info.value.args) == 1
    assert (info.value.kind, info.value.errno) == (kind, number)


def test_depth_limit(fs, raises_exactly):
    path = ""
    for _ in range(64):
        path += "/d"
        fs.mkdir(path)
    with raises_exactly(ValueError, "Maximum filesystem depth exceeded"):
        fs.mkdir(path + "/d")
    assert fs.tree("/").count("\n") == 64


def test_listdir_separates_files_from_directories_in_creation_order(fs):
    fs.touch("b")
    fs.mkdir("a")
    fs.touch("c")
    assert fs.listdir("/") == (["b", "c"], ["a"])
    assert fs.listdir("\\a\\") == ([], [])


@pytest.mark.parametrize("method", ["listdir", "tree"])
@pytest.mark.parametrize(
    "path, message",
    [("/f", "The specified INode is not a directory"), ("/nope", "Inode not found"),
     ("/f/x", "The specified INode is not a directory"), ("/nope/x", "Inode not found")],
)
def test_listing_failures(fs, method, path, message, raises_exactly):
    fs.touch("f")
    with raises_exactly(ValueError, message):
        getattr(fs, method)(path)


@pytest.fixture
def sample(fs):
    fs.mkdir("docs")
    fs.touch("docs/a.txt")
    fs.mkdir("docs/old")
    fs.touch("readme")
    return fs


def test_tree_renders_directories_first_with_their_subtrees(sample):
    assert sample.tree("/") == "docs/\n  old/\n  a.txt\nreadme\n"
    assert sample.tree("/", "--") == "--docs/\n--  old/\n--  a.txt\n--readme\n"
    assert sample.tree(path="/docs", ident="> ") == "> old/\n> a.txt\n"


@pytest.mark.parametrize("path", ["/docs", "/docs/", "\\docs", "docs", "/x/../docs/."])
@pytest.mark.parametrize("ident", [None, ""])
def test_tree_path_spellings_and_empty_ident(sample, path, ident):
    sample.mkdir("x")
    assert sample.tree(path, ident) == "old/\na.txt\n"


def test_tree_of_an_empty_file_system(fs):
    assert fs.tree("/") == ""


def test_remove(sample, raises_exactly):
    sample.remove("/readme", False)
    assert sample.listdir("/") == ([], ["docs"])
    with raises_exactly(ValueError, "Directory is not empty"):
        sample.remove("/docs", False)
    with raises_exactly(ValueError, "Inode not found"):
        sample.remove("/readme", True)
    sample.remove(recurse=True, path="/docs")
    assert sample.listdir("/") == ([], [])


@pytest.mark.parametrize("mode", ["", "r", "w", "rw"])
def test_remove_refuses_a_held_file(sample, mode, raises_exactly):
    held = sample.open("/docs/a.txt", mode)
    for path, recurse in [("/docs/a.txt", False), ("/docs", True)]:
        with raises_exactly(ValueError, "Resource is currently in use"):
            sample.remove(path, recurse)
    held.close()
    sample.remove("/docs", True)
    assert sample.listdir("/") == (["readme"], [])


@pytest.mark.parametrize("root", ["/", "", "/./..", "\\"])
def test_removing_the_root_empties_it_and_keeps_it(sample, root, raises_exactly):
    with raises_exactly(ValueError, "Directory is not empty"):
        sample.remove(root, False)
    assert sample.remove(root, True) is None
    assert sample.listdir("/") == ([], [])
    assert sample.remove(root, False) is None  # an empty root goes on being removable
    sample.mkdir("again")
    assert sample.listdir("/") == ([], ["again"])


names = st.text(st.characters(blacklist_characters="/\\\0", blacklist_categories=("Cs",)),
                min_size=1, max_size=30).filter(lambda n: n not in (".", ".."))


@settings(max_examples=60, deadline=None)
@given(st.lists(st.tuples(names, st.booleans()), max_size=12, unique_by=lambda t: t[0]))
def test_listdir_and_tree_agree_with_what_was_made(entries):
    fs = quorvex.PyFs()
    for name, is_dir in entries:
        (fs.mkdir if is_dir else fs.touch)("/" + name)
    files = [n for n, d in entries if not d]
    dirs = [n for n, d in entries if d]
    assert fs.listdir("/") == (files, dirs)
    assert fs.tree("/") == "".join(f"{d}/\n" for d in dirs) + "".join(f"{f}\n" for f in files)


def test_rename_moves_the_entry_to_the_end_of_its_new_directory(sample, raises_exactly):
    handle = sample.open("/readme", "w")
    ident = handle.id()
    assert sample.rename("/readme", "/docs/readme") is None
    assert sample.listdir("/docs") == (["a.txt", "readme"], ["old"])
    assert sample.tree("/") == "docs/\n  old/\n  a.txt\n  readme\n"
    assert handle.write(b"x") == 1  # the handle follows its file
    handle.close()
    sample.rename("/docs/a.txt", "/docs/a.txt")  # onto itself: nothing changes
    sample.rename(dst="/docs/a.txt", src="/docs/readme")  # a file replaces a file
    assert sample.listdir("/docs") == (["a.txt"], ["old"])
    assert f"1: INode {{ id: 1, parent: 0, depth: 1, name: \"docs\"" in str(sample)
    assert f"{ident}: INode {{ id: {ident}, parent: 1, depth: 2, name: \"a.txt\"" in str(sample)
    held = sample.open("/docs/a.txt", "")
    sample.touch("/b")
    with raises_exactly(ValueError, "Resource is currently in use"):
        sample.rename("/b", "/docs/a.txt")
    held.close()
    with raises_exactly(TypeError, "argument 'dst': 'bytes' object cannot be converted to 'PyString'"):
        sample.rename("/b", b"/c")
    with raises_exactly(TypeError, "PyFs.rename() missing 1 required positional argument: 'dst'"):
        sample.rename("/b")
