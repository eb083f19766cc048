"""The quorvex-shell program: scripts on a pipe, and a session on a terminal."""
import os
import platform
import re
import select
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
import quorvex

SOURCE_DIR = Path(__file__).resolve().parents[2] / "python"
try:
    import quorvex_shell
except ImportError:  # not installed: use the source beside the extension's build
    sys.path.insert(0, str(SOURCE_DIR))
    import quorvex_shell

TIMEOUT = 20


def shell_env():
    """Environment in which a child interpreter finds the same two modules."""
    env = dict(os.environ)
    dirs = [str(Path(quorvex.__file__).parent), str(Path(quorvex_shell.__file__).parent)]
    if env.get("PYTHONPATH"):
        dirs.append(env["PYTHONPATH"])
    env["PYTHONPATH"] = os.pathsep.join(dirs)
    env["PYTHONIOENCODING"] = "utf-8"
    return env


def run_script(script: bytes):
    return subprocess.run(
        [sys.executable, "-m", "quorvex_shell"],
        input=script,
        capture_output=True,
        env=shell_env(),
        timeout=TIMEOUT,
    )


@pytest.mark.parametrize(
    "script, stdout, stderr, status",
    [
        pytest.param(b"", "", "", 0, id="empty input"),
        pytest.param(b"mkdir a\ncd a\npwd\ncd ..\n\n# note\nls", "/a\na/\n", "", 0,
                     id="newline added only where missing"),
        pytest.param(b"cd nosuch\nmkdir b\nls\n", "b/\n",
                     "cd: cannot access 'nosuch': nosuch: Inode not found\n", 1,
                     id="goes on after a failure, then fails"),
        pytest.param(b"frob\n  exit  \npwd\n", "", "frob: command not found\n", 1,
                     id="exit stops reading and keeps the failure"),
        pytest.param(b"touch 'my file'\nmkdir \xff\nls\n", "my file\n\ufffd/\n", "", 0,
                     id="quoting, undecodable input replaced"),
    ],
)
def test_script_on_a_pipe(script, stdout, stderr, status):
    result = run_script(script)
    assert result.stdout.decode() == stdout
    assert result.stderr.decode() == stderr
    assert result.returncode == status


@pytest.fixture
def shell():
    term = quorvex.PyTerm(quorvex.PyFs())
    for line in ["mkdir docs", "mkdir data", "touch notes.txt", "touch 'my file'",
                 "touch a#b"]:
        term.exec(line)
    return quorvex_shell.Shell(term)


@pytest.mark.parametrize(
    "before, text, expected",
    [
        ("", "", ["cat ", "cd ", "exit ", "help ", "ls ", "mkdir ", "pwd ", "touch "]),
        ("  ", "c", ["cat ", "cd "]),
        ("cd ", "d", ["data ", "docs "]),
        ("cd ", "n", []),  # a file is no place to go
        ("cat ", "", ["a\\#b ", "my\\ file ", "notes.txt "]),
        ("mkdir ", "do", ["docs/"]),
        ("pwd ", "", []),
        ("cd docs ", "d", []),  # only the first argument is used
        ("frob ", "n", ["notes.txt "]),
    ],
)
def test_completion_candidates(shell, before, text, expected):
    assert shell.candidates(before, text) == expected


def test_completion_follows_working_directory(shell):
    shell.term.exec("cd docs")
    shell.term.exec("touch inner")
    assert shell.candidates("cat ", "") == ["inner "]
    shell.term.exec("cd ..")
    assert shell.candidates("cd ", "") == ["data ", "docs "]


@pytest.mark.parametrize("name", ["plain", "two words", "it's", 'a"b',
                                  "#hash", "tab\there", "line\nfeed"])
def test_quoted_names_survive_the_terminal(name):
    term = quorvex.PyTerm(quorvex.PyFs())
    term.exec("mkdir " + quorvex_shell.quote_word(name))
    term.exec("cd " + quorvex_shell.quote_word(name))
    assert term.exec("pwd") == "/" + name


class Session:
    """The shell on a pseudo-terminal; every wait is bounded."""

    def __init__(self):
        import pty

        env = dict(shell_env(), TERM="dumb", INPUTRC=os.devnull)
        self.pid, self.fd = pty.fork()
        if self.pid == 0:  # the child: stdin, stdout and stderr are the terminal
            try:
                os.execve(sys.executable, [sys.executable, "-m", "quorvex_shell"], env)
            finally:
                os._exit(127)
        self.seen = b""

    def _read(self, deadline):
        """Add what the shell wrote to ``seen``; False once it closed the terminal."""
        left = deadline - time.monotonic()
        if left <= 0:
            raise AssertionError(f"timed out; the shell wrote {self.seen!r}")
        if select.select([self.fd], [], [], left)[0]:
            try:
                chunk = os.read(self.fd, 4096)
            except OSError:  # EIO: the child has gone
                chunk = b""
            self.seen += chunk
            return bool(chunk)
        return True

    def expect(self, pattern: bytes, send: bytes = b"", timeout: float = TIMEOUT):
        """Wait for ``pattern``, then type ``send``; return what came before it."""
        deadline = time.monotonic() + timeout
        while not (match := re.search(pattern, self.seen)):
            if not self._read(deadline):
                raise AssertionError(f"no {pattern!r} in {self.seen!r}")
        before, self.seen = self.seen[: match.start()], self.seen[match.end():]
        os.write(self.fd, send)
        return before

    def interrupt(self, prompt: bytes, send: bytes):
        """Press Ctrl-C until ``prompt`` is back, then type ``send``.

        The interpreter's readline loop notices a signal only while it waits for
        input; one that lands while it handles a key stays pending until the next.
        """
        for _ in range(10):
            os.write(self.fd, b"\x03")
            try:
                return self.expect(prompt, send, timeout=2)
            except AssertionError:
                pass
        raise AssertionError(f"Ctrl-C brought no prompt back; the shell wrote {self.seen!r}")

    def exit_status(self):
        deadline = time.monotonic() + TIMEOUT
        while self._read(deadline):
            pass
        _, status = os.waitpid(self.pid, 0)
        self.pid = 0
        return os.WEXITSTATUS(status) if os.WIFEXITED(status) else -1

    def close(self):
        if self.pid:
            os.kill(self.pid, signal.SIGKILL)
            os.waitpid(self.pid, 0)
        os.close(self.fd)


@pytest.fixture
def session():
    if sys.platform == "win32":
        pytest.skip("needs a POSIX pseudo-terminal")
    s = Session()
    yield s
    s.close()


ROOT_PROMPT, DOCS_PROMPT = rb"quorvex:/\$ ", rb"quorvex:/docs\$ "


@pytest.mark.skipif(platform.python_implementation() == "PyPy",
                    reason="PyPy's readline (pyrepl) does not complete on a dumb terminal")
def test_interactive_session(session):
    session.expect(ROOT_PROMPT, b"mkdir docs\r")
    # Tab completes the only directory that starts with d.
    session.expect(ROOT_PROMPT, b"cd d\t")
    session.expect(rb"ocs ", b"\r")
    session.expect(DOCS_PROMPT, b"pwd\r")
    assert session.expect(DOCS_PROMPT, b"cat nosuch\r").endswith(b"/docs\r\n")
    assert b"nosuch: Inode not found" in session.expect(DOCS_PROMPT, b"mkdir abandoned")
    # Ctrl-C abandons the line being typed: the directory is never made.
    session.expect(b"abandoned")
    session.interrupt(DOCS_PROMPT, b"ls\r")
    session.expect(b"ls\r\n")
    assert session.expect(DOCS_PROMPT, b"\x1b[A") == b""
    # The up arrow brings the last line back; Ctrl-U clears it again.
    session.expect(b"ls", b"\x15exit\r")
    assert session.exit_status() == 0


def test_end_of_input_leaves_interactive_session(session):
    session.expect(ROOT_PROMPT, b"frob\r")
    session.expect(ROOT_PROMPT, b"\x04")
    assert session.exit_status() == 0
