"""Drives quorvex and a small pure-Python model of it with the same random operations.

Every answer is compared: results, exception types and texts, listing order, offsets,
lock conflicts, stat, usage against limits, which changes stamp which node's time, and the
full structure rendering of the file system.
"""
import os
import re

import hypothesis.strategies as st
from hypothesis import settings
from hypothesis.stateful import Bundle, RuleBasedStateMachine, invariant, rule

import quorvex

# The access-mode bits of open flags; PyPy's os module does not name them.
O_ACCMODE = getattr(os, "O_ACCMODE", 3)

MAX_DEPTH = 64


class ModelError(Exception):
    """An expected ValueError, carrying its message."""


class Node:
    def __init__(self, ident, parent, depth, name, is_dir):
        self.id, self.parent, self.depth, self.name = ident, parent, depth, name
        self.children = [] if is_dir else None
        self.data = None if is_dir else bytearray()
        self.flag = 0
        # The time set_times gave last (negative here), or None once a change stamped it.
        self.mtime = None

    @property
    def is_dir(self):
        return self.children is not None


class Model:
    def __init__(self):
        self.nodes = {0: Node(0, 0, 0, "", True)}
        self.next_id = 1
        self.max_bytes = self.max_nodes = None
        # Files that open shared handles hold, by id: [node, count of such handles]. A
        # removed one lives on, and counts in the usage, until its last handle closes.
        self.shared = {}

    def usage(self):
        live = dict(self.nodes)
        live.update((i, held[0]) for i, held in self.shared.items() if held[1] > 0)
        return (sum(len(n.data) for n in live.values() if not n.is_dir), len(live))

    def grow(self, node, size):
        """Sets a file's length; growth past the byte limit changes nothing."""
        growth = size - len(node.data)
        if growth > 0 and self.max_bytes is not None and self.usage()[0] + growth > self.max_bytes:
            raise ModelError("No space left on device")
        node.data.extend(bytes(max(growth, 0)))

    def set_limits(self, max_bytes, max_nodes):
        held_bytes, held_nodes = self.usage()
        if (max_bytes is not None and held_bytes > max_bytes) or (
            max_nodes is not None and held_nodes > max_nodes
        ):
            raise ModelError("No space left on device")
        self.max_bytes, self.max_nodes = max_bytes, max_nodes

    def stat(self, path):
        node = self.nodes[self.resolve(path)]
        kind = "directory" if node.is_dir else "file"
        return kind, len(node.children if node.is_dir else node.data), node.id

    # -- lookups ---------------------------------------------------------------------
    def find(self, node, name):
        if name in ("", "."):
            return node.id
        if name == "..":
            return node.parent
        if not node.is_dir:
            raise ModelError("The specified INode is not a directory")
        for child in node.children:
            if self.nodes[child].name == name:
                return child
        raise ModelError("Inode not found")

    def resolve(self, path):
        node = self.nodes[0]
        for part in re.split(r"[/\\]", path):
            if part in ("", "."):
                continue
            node = self.nodes[node.parent if part == ".." else self.find(node, part)]
        return node.id

    @staticmethod
    def split(path):
        cut = max(path.rfind("/"), path.rfind("\\"))
        return ("", path) if cut < 0 else (path[:cut], path[cut + 1 :])

    # -- creation --------------------------------------------------------------------
    def create(self, parent_id, name, is_dir):
        if name in ("", ".", "..") or "/" in name or "\\" in name:
            raise ModelError("Resource already exists")
        ident = self.next_id
        self.next_id += 1
        parent = self.nodes[parent_id]
        try:
            self.find(parent, name)
            raise ModelError("Resource already exists")
        except ModelError as error:
            if str(error) == "Resource already exists":
                raise
        if parent.depth + 1 > MAX_DEPTH:
            raise ModelError("Maximum filesystem depth exceeded")
        if not parent.is_dir:
            raise ModelError("The specified INode is not a directory")
        if self.max_nodes is not None and self.usage()[1] + 1 > self.max_nodes:
            raise ModelError("No space left on device")
        self.nodes[ident] = Node(ident, parent_id, parent.depth + 1, name, is_dir)
        parent.children.append(ident)
        parent.mtime = None
        return ident

    def make(self, path, is_dir):
        parent_path, name = self.split(path)
        self.create(self.resolve(parent_path), name, is_dir)

    # -- files -----------------------------------------------------------------------
    def open(self, path, mode):
        if mode not in ("", "r", "w", "rw", "wr"):
            raise ModelError("Unrecognized file mode")
        parent_path, name = self.split(path)
        parent = self.nodes[self.resolve(parent_path)]
        try:
            ident = self.find(parent, name)
        except ModelError as error:
            if str(error) != "Inode not found":
                raise
            ident = self.create(parent.id, name, False)
        node = self.nodes[ident]
        if node.is_dir:
            raise ModelError("The specified INode is not a file")
        if "w" in mode:
            if node.flag != 0:
                raise ModelError("Resource is currently in use")
            node.flag = -1
        else:
            if node.flag < 0:
                raise ModelError("Resource is currently in use")
            node.flag += 1
        return {"node": node, "mode": mode, "offset": 0, "open": True, "append": False}

    def open_shared(self, path, flags):
        access = {os.O_RDONLY: "r", os.O_WRONLY: "w", os.O_RDWR: "rw"}.get(flags & O_ACCMODE)
        known = O_ACCMODE | os.O_CREAT | os.O_EXCL | os.O_TRUNC | os.O_APPEND
        if (access is None or flags & ~known or (flags & os.O_EXCL and not flags & os.O_CREAT)
                or (access == "r" and flags & (os.O_TRUNC | os.O_APPEND))):
            raise ModelError("Unrecognized file mode")
        parent_path, name = self.split(path)
        parent = self.nodes[self.resolve(parent_path)]
        try:
            ident = self.find(parent, name)
            if flags & os.O_EXCL:
                raise ModelError("Resource already exists")
        except ModelError as error:
            if str(error) != "Inode not found" or not flags & os.O_CREAT:
                raise
            ident = self.create(parent.id, name, False)
        node = self.nodes[ident]
        if node.is_dir:
            raise ModelError("The specified INode is not a file")
        if flags & os.O_TRUNC:
            del node.data[:]
            node.mtime = None
        self.shared.setdefault(node.id, [node, 0])[1] += 1
        # A shared handle holds the node itself: a removed file lives on in it.
        return {"node": node, "mode": access, "offset": 0, "open": True, "shared": True,
                "append": bool(flags & os.O_APPEND)}

    # -- listing and removal ---------------------------------------------------------
    def listdir(self, path):
        node = self.nodes[self.resolve(path)]
        if not node.is_dir:
            raise ModelError("The specified INode is not a directory")
        kids = [self.nodes[c] for c in node.children]
        return ([k.name for k in kids if not k.is_dir], [k.name for k in kids if k.is_dir])

    def tree(self, path, prefix):
        files, dirs = self.listdir(path)
        out = ""
        for name in dirs:
            out += f"{prefix}{name}/\n" + self.tree(f"{path}/{name}", prefix + "  ")
        return out + "".join(f"{prefix}{name}\n" for name in files)

    def remove_id(self, ident, recurse):
        node = self.nodes[ident]
        if node.is_dir:
            if node.children and not recurse:
                raise ModelError("Directory is not empty")
            for child in list(node.children):
                self.remove_id(child, True)
        elif node.flag != 0:
            raise ModelError("Resource is currently in use")
        if ident != 0:
            self.nodes[node.parent].children.remove(ident)
            self.nodes[node.parent].mtime = None
            del self.nodes[ident]

    # -- rename ----------------------------------------------------------------------
    def height(self, node):
        return max((1 + self.height(self.nodes[c]) for c in node.children or ()), default=0)

    def set_depth(self, node, depth):
        node.depth = depth
        for child in node.children or ():
            self.set_depth(self.nodes[child], depth + 1)

    def rename(self, src, dst):
        def cut(path):
            trimmed = path.rstrip("/\\")
            return self.split(trimmed), trimmed != path

        def directory(path):
            node = self.nodes[self.resolve(path)]
            if not node.is_dir:
                raise ModelError("The specified INode is not a directory")
            return node

        ((src_dir, src_name), src_slash), ((dst_dir, dst_name), dst_slash) = cut(src), cut(dst)
        source, target = directory(src_dir), directory(dst_dir)
        if src_name in ("", ".", "..") or dst_name in ("", ".", ".."):
            raise ModelError("Resource is currently in use")
        moved = self.nodes[self.find(source, src_name)]
        if (src_slash or dst_slash) and not moved.is_dir:
            raise ModelError("The specified INode is not a directory")
        up = target
        while moved.is_dir:
            if up is moved:
                raise ModelError("Cannot move a directory into itself")
            if up.id == 0:
                break
            up = self.nodes[up.parent]
        try:
            there = self.nodes[self.find(target, dst_name)]
        except ModelError:
            there = None
        if there is moved:
            return
        if there is not None:
            if moved.is_dir and not there.is_dir:
                raise ModelError("The specified INode is not a directory")
            if not moved.is_dir and there.is_dir:
                raise ModelError("The specified INode is not a file")
            if there is source:
                raise ModelError("Directory is not empty")
        if target.depth + 1 + self.height(moved) > MAX_DEPTH:
            raise ModelError("Maximum filesystem depth exceeded")
        if there is not None:
            if there.children:
                raise ModelError("Directory is not empty")
            if there.flag != 0:
                raise ModelError("Resource is currently in use")
            target.children.remove(there.id)
            del self.nodes[there.id]
        source.children.remove(moved.id)
        target.children.append(moved.id)
        moved.parent, moved.name = target.id, dst_name
        self.set_depth(moved, target.depth + 1)
        source.mtime = target.mtime = None

    # -- rendering -------------------------------------------------------------------
    def render(self):
        def kind(node):
            if node.is_dir:
                return "Directory { children: [%s] }" % ", ".join(map(str, node.children))
            data = ", ".join(str(b) for b in node.data)
            return "File { data: FileData { data: [%s] }, lock: FileLock { flag: %d } }" % (
                data,
                node.flag,
            )

        entries = ", ".join(
            f'{n.id}: INode {{ id: {n.id}, parent: {n.parent}, depth: {n.depth}, name: "{n.name}", '
            f"data: RwLock {{ data: {kind(n)}, poisoned: false, .. }} }}"
            for n in sorted(self.nodes.values(), key=lambda n: n.id)
        )
        return f"FileSystem {{ inodes: {{{entries}}}, next_inode_id: {self.next_id} }}"


def outcome(call):
    try:
        return ("ok", call())
    except (ValueError, ModelError) as error:
        return ("error", str(error))


names = st.sampled_from(["a", "b", "c", "", ".", ".."])
paths = st.lists(names, min_size=0, max_size=4).flatmap(
    lambda parts: st.sampled_from(["/", "\\"]).map(lambda sep: sep + sep.join(parts))
    | st.just("/".join(parts))
)
modes = st.sampled_from(["", "r", "w", "rw", "wr", "x", "rr"])
shared_flags = st.sampled_from([
    os.O_RDONLY, os.O_WRONLY, os.O_RDWR, os.O_RDWR | os.O_CREAT, os.O_WRONLY | os.O_CREAT | os.O_EXCL,
    os.O_WRONLY | os.O_CREAT | os.O_TRUNC, os.O_RDWR | os.O_APPEND | os.O_CREAT,
    os.O_RDONLY | os.O_TRUNC, 3,
])


class FileSystemMachine(RuleBasedStateMachine):
    handles = Bundle("handles")

    def __init__(self):
        super().__init__()
        self.fs = quorvex.PyFs()
        self.model = Model()

    def check(self, real, model):
        assert outcome(real) == outcome(model)

    @rule(path=paths, directory=st.booleans())
    def make(self, path, directory):
        method = self.fs.mkdir if directory else self.fs.touch
        self.check(lambda: method(path), lambda: self.model.make(path, directory))

    @rule(target=handles, path=paths, mode=modes)
    def open(self, path, mode):
        real, model = outcome(lambda: self.fs.open(path, mode)), outcome(
            lambda: self.model.open(path, mode)
        )
        assert real[0] == model[0]
        if real[0] == "error":
            assert real[1] == model[1]
            return None
        return (real[1], model[1])

    @rule(target=handles, path=paths, flags=shared_flags)
    def open_shared(self, path, flags):
        real, model = outcome(lambda: self.fs.open_shared(path, flags)), outcome(
            lambda: self.model.open_shared(path, flags)
        )
        assert real[0] == model[0]
        if real[0] == "error":
            assert real[1] == model[1]
            return None
        return (real[1], model[1])

    @rule(pair=handles, data=st.binary(max_size=40), advancing=st.booleans())
    def write(self, pair, data, advancing):
        if pair is None:
            return
        real, model = pair

        def model_write():
            if not model["open"]:
                raise ModelError("Invalid file descriptor")
            if "w" not in model["mode"]:
                raise ModelError("File does not support the specified operation: write")
            node = model["node"]
            at = len(node.data) if model["append"] else model["offset"]
            if data:
                # A shared handle may have cut the file below the offset: the gap is zeros.
                self.model.grow(node, max(len(node.data), at + len(data)))
                node.data[at : at + len(data)] = data
                node.mtime = None
                if advancing:
                    model["offset"] = at + len(data)
            return len(data)

        if advancing:
            self.check(lambda: real.write_from(memoryview(bytearray(data))), model_write)
        else:
            self.check(lambda: real.write(data), model_write)

    @rule(pair=handles, size=st.integers(0, 50))
    def read(self, pair, size):
        if pair is None:
            return
        real, model = pair

        def model_read():
            if not model["open"]:
                raise ModelError("Invalid file descriptor")
            if "r" not in model["mode"]:
                raise ModelError("File does not support the specified operation: read")
            content, at = model["node"].data, model["offset"]
            chunk = bytes(content[at : at + size])
            model["offset"] += len(chunk)
            return chunk

        self.check(lambda: real.read(size), model_read)

    @rule(pair=handles, distance=st.integers(0, 60), whence=st.sampled_from([0, 1, 2]))
    def seek(self, pair, distance, whence):
        if pair is None:
            return
        real, model = pair
        member = [quorvex.Whence.SEEK_SET, quorvex.Whence.SEEK_CUR, quorvex.Whence.SEEK_END]

        def model_seek():
            if not model["open"]:
                raise ModelError("Invalid file descriptor")
            length = len(model["node"].data)
            at = model["offset"]
            target = [distance, at + distance, max(length - distance, 0)][whence]
            model["offset"] = min(target, length)

        self.check(lambda: real.seek(distance, member[whence]), model_seek)
        self.check(real.tell, lambda: model["offset"] if model["open"] else _closed())

    @rule(pair=handles)
    def close(self, pair):
        if pair is None:
            return
        real, model = pair

        def model_close():
            if not model["open"]:
                raise ModelError("Invalid file descriptor")
            node = model["node"]
            if model.get("shared"):
                self.model.shared[node.id][1] -= 1
            else:
                node.flag = 0 if "w" in model["mode"] else node.flag - 1
            model["open"] = False

        self.check(real.close, model_close)

    @rule(path=paths)
    def listdir(self, path):
        self.check(lambda: self.fs.listdir(path), lambda: self.model.listdir(path))

    @rule(path=paths, prefix=st.sampled_from([None, "", "> "]))
    def tree(self, path, prefix):
        self.check(
            lambda: self.fs.tree(path, prefix),
            lambda: self.model.tree(path, prefix or ""),
        )

    @rule(path=paths, recurse=st.booleans())
    def remove(self, path, recurse):
        self.check(
            lambda: self.fs.remove(path, recurse),
            lambda: self.model.remove_id(self.model.resolve(path), recurse),
        )

    @rule(path=paths)
    def stat(self, path):
        real = outcome(lambda: self.fs.stat(path))
        self.check(lambda: tuple(self.fs.stat(path)[:3]), lambda: self.model.stat(path))
        if real[0] == "ok":
            expected = self.model.nodes[real[1].id].mtime
            assert real[1].mtime_ns == expected if expected is not None else real[1].mtime_ns > 0

    @rule(path=paths, time=st.integers(-1000, -1))
    def set_times(self, path, time):
        def model_set_times():
            self.model.nodes[self.model.resolve(path)].mtime = time

        self.check(lambda: self.fs.set_times(path, time), model_set_times)

    @rule(extra_bytes=st.none() | st.integers(-2, 40), extra_nodes=st.none() | st.integers(-2, 6))
    def set_limits(self, extra_bytes, extra_nodes):
        held_bytes, held_nodes = self.model.usage()
        max_bytes = None if extra_bytes is None else max(held_bytes + extra_bytes, 0)
        max_nodes = None if extra_nodes is None else max(held_nodes + extra_nodes, 0)
        self.check(lambda: self.fs.set_limits(max_bytes, max_nodes),
                   lambda: self.model.set_limits(max_bytes, max_nodes))

    @rule(src=paths, dst=paths)
    def rename(self, src, dst):
        self.check(lambda: self.fs.rename(src, dst), lambda: self.model.rename(src, dst))

    @invariant()
    def renderings_agree(self):
        assert str(self.fs) == self.model.render()
        assert self.fs.usage() == self.model.usage()


def _closed():
    raise ModelError("Invalid file descriptor")


FileSystemMachine.TestCase.settings = settings(max_examples=150, stateful_step_count=40, deadline=None)
TestFileSystemModel = FileSystemMachine.TestCase
