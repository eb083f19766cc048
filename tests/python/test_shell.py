"""The quorvex-shell program: scripts on a pipe, and a session on a terminal."""
import io
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


def run_script(script: bytes, *args, **kwargs):
    kwargs.setdefault("capture_output", True)
    return subprocess.run(
        [sys.executable, "-m", "quorvex_shell", *args],
        input=script,
        env=shell_env(),
        timeout=TIMEOUT,
        **kwargs,
    )


@pytest.mark.parametrize(
    "script, stdout, stderr, status",
    [
        pytest.param(b"", "", "", 0, id="empty input"),
        pytest.param(b"mkdir a\ncd a\npwd\ncd ..\n\n# note\nls", "/a\na/\n", "", 0,
                     id="newline added only where missing"),
        pytest.param(b"mkdir b\ncd nosuch\nls\n", "b/\n",
                     "line 2: cd: cannot access 'nosuch': nosuch: Inode not found\n", 1,
                     id="goes on after a failure, then fails"),
        pytest.param(b"frob\n  exit  \npwd\n", "", "line 1: frob: command not found\n", 1,
                     id="exit stops reading and keeps the failure"),
        pytest.param(b"mkdir a\r\ntouch b\r\r\nls\r\n", "b\r\na/\n", "", 0,
                     id="CRLF ends a line, a lone CR stays in the name"),
        pytest.param(b"frob\nexit 0 # done\nfrob\n", "", "line 1: frob: command not found\n",
                     0, id="exit N sets the status"),
        pytest.param(b"exit 300\n", "", "", 44, id="exit N modulo 256"),
        pytest.param(b"exit 1 2\npwd\n", "/\n", "line 1: exit: too many arguments\n", 1,
                     id="exit with two numbers fails and goes on"),
        pytest.param(b"exit x\npwd\n", "", "line 1: exit: x: numeric argument required\n", 2,
                     id="exit with a word leaves with 2"),
        pytest.param(b"touch 'my file'\nmkdir \xff\nls\n", "my file\n\ufffd/\n", "", 0,
                     id="quoting, undecodable input replaced"),
    ],
)
def test_script_on_a_pipe(script, stdout, stderr, status):
    result = run_script(script)
    assert result.stdout.decode() == stdout
    assert result.stderr.decode() == stderr
    assert result.returncode == status


@pytest.mark.parametrize("how", ["file", "-c"])
def test_script_from_file_or_argument(tmp_path, how):
    script = "mkdir a\r\ncd a\nfrob\npwd\n"
    if how == "file":
        (tmp_path / "s.qsh").write_bytes(script.encode())
        result = run_script(b"", str(tmp_path / "s.qsh"))
    else:
        result = run_script(b"", "-c", script)
    assert (result.stdout, result.stderr) == (b"/a\n", b"line 3: frob: command not found\n")
    assert result.returncode == 1


@pytest.mark.parametrize(
    "stdout, message",
    [
        pytest.param("/dev/full", os.strerror(28), id="full"),
        pytest.param(None, os.strerror(9), id="closed"),
    ],
)
def test_failing_stdout_gives_one_line(stdout, message):
    if not os.path.exists("/dev/full"):
        pytest.skip("needs Linux's /dev/full")
    with open(stdout or os.devnull, "w") as out:
        result = run_script(b"mkdir a\nls\n", capture_output=False, stdout=out,
                            stderr=subprocess.PIPE,
                            preexec_fn=None if stdout else lambda: os.close(1))
    assert result.stderr.decode() == f"quorvex-shell: cannot write to standard output: {message}\n"
    assert result.returncode == 1


@pytest.mark.parametrize("stderr", [
    pytest.param("/dev/full", id="full"),
    pytest.param(None, id="closed")])
def test_failing_stderr_keeps_the_script_going(stderr):
    if not os.path.exists("/dev/full"):
        pytest.skip("needs Linux's /dev/full")
    with open(stderr or os.devnull, "w") as err:
        result = run_script(b"frob\npwd\nfrob\n", capture_output=False, stdout=subprocess.PIPE,
                            stderr=err, preexec_fn=None if stderr else lambda: os.close(2))
    assert (result.stdout, result.returncode) == (b"/\n", 1)


def test_closed_stdin_is_an_empty_script():
    result = subprocess.run([sys.executable, "-m", "quorvex_shell"], env=shell_env(),
                            stdin=subprocess.DEVNULL, preexec_fn=lambda: os.close(0),
                            capture_output=True, timeout=TIMEOUT)
    assert (result.stdout, result.stderr, result.returncode) == (b"", b"", 0)


def test_closed_reader_ends_script_quietly():
    script = b"mkdir d\n" + b"ls\n" * 50_000
    proc = subprocess.Popen([sys.executable, "-m", "quorvex_shell"], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=shell_env())
    proc.stdout.close()
    _, err = proc.communicate(script, timeout=TIMEOUT)
    assert (err, proc.returncode) == (b"", 1)


def test_load_starts_from_a_copy_of_a_host_directory(tmp_path):
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "f.txt").write_bytes(b"hello")
    result = run_script(b"ls\ncd sub\nls\n", "--load", str(tmp_path))
    assert result.stdout == b"sub/\nf.txt\n"
    result = run_script(b"", "--load", str(tmp_path / "missing"))
    assert result.returncode == 2 and result.stderr.startswith(b"quorvex-shell: cannot load ")


@pytest.mark.parametrize(
    "entries, width, expected",
    [
        ([], 80, ""),
        (["a", "b/", "c"], 80, "a  b/  c\n"),
        (["a", "bb", "c", "dd", "e"], 9, "a   c   e\nbb  dd\n"),
        (["long-name", "x"], 5, "long-name\nx\n"),  # too wide for any two columns
        # Wide characters take two cells.
        (["\u65e5\u672c", "ab", "cd"], 8, "\u65e5\u672c  cd\nab\n"),
    ],
)
def test_columns(entries, width, expected):
    assert quorvex_shell.columns(entries, width) == expected


class Tty(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize("out, expected",
                         [(Tty(), "b  x?y  a/\n"), (io.StringIO(), "b\nx\ny\na/\n")])
def test_ls_in_columns_only_on_a_terminal(monkeypatch, out, expected):
    monkeypatch.setenv("COLUMNS", "40")
    shell = quorvex_shell.Shell(out=out)
    for line in ["mkdir a", "touch b", "touch 'x\ny'", "ls"]:
        shell.execute(line)
    assert out.getvalue() == expected


def test_help_names_exit_after_the_terminals_own_list():
    out = io.StringIO()
    shell = quorvex_shell.Shell(out=out)
    shell.execute("help")
    assert out.getvalue() == shell.term.exec("help") + "exit\n"
    assert shell.term.exec("help").split().count("exit") == 0


@pytest.mark.parametrize(
    "env, expected",
    [
        ({"QUORVEX_SHELL_HISTORY": "/h/file", "XDG_STATE_HOME": "/s"}, "/h/file"),
        ({"QUORVEX_SHELL_HISTORY": ""}, None),
        ({"XDG_STATE_HOME": "/s"}, "/s/quorvex/shell_history"),
        ({"HOME": "/home/u"}, "/home/u/.local/state/quorvex/shell_history"),
    ],
)
def test_history_file_location(monkeypatch, env, expected):
    for name in ("QUORVEX_SHELL_HISTORY", "XDG_STATE_HOME"):
        monkeypatch.delenv(name, raising=False)
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    assert quorvex_shell.default_history_file() == expected


@pytest.fixture
def shell():
    fs = quorvex.PyFs()
    term = quorvex.PyTerm(fs)
    for line in ["mkdir docs", "mkdir data", "touch notes.txt", "touch 'my file'",
                 "touch a#b"]:
        term.exec(line)
    return quorvex_shell.Shell(term, fs=fs)


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
    shell.term.exec("touch 'two\nlines'")
    assert shell.candidates("cat ", "'") == ["'two\nlines' "]


@pytest.mark.parametrize("name", ["plain", "two words", "it's", 'a"b',
                                  "#hash", "tab\there", "line\nfeed"])
def test_quoted_names_survive_the_terminal(name):
    term = quorvex.PyTerm(quorvex.PyFs())
    term.exec("mkdir " + quorvex_shell.quote_word(name))
    term.exec("cd " + quorvex_shell.quote_word(name))
    assert term.exec("pwd") == "/" + name


class Session:
    """The shell on a pseudo-terminal; every wait is bounded."""

    def __init__(self, history):
        import pty

        env = dict(shell_env(), TERM="dumb", INPUTRC=os.devnull,
                   QUORVEX_SHELL_HISTORY=str(history))
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
        The first press goes through the terminal; a press that brought nothing back
        is repeated as the SIGINT the terminal would send, so that the test hangs on
        the shell alone and not on the line discipline of a loaded machine.
        A shell that ends on Ctrl-C fails at once, with its status.
        """
        deadline = time.monotonic() + TIMEOUT
        first = True
        while time.monotonic() < deadline:
            if first:
                os.write(self.fd, b"\x03")
                first = False
            else:
                os.kill(self.pid, signal.SIGINT)
            press_deadline = min(deadline, time.monotonic() + 2)
            while not (match := re.search(prompt, self.seen)):
                if time.monotonic() >= press_deadline:
                    break
                if not self._read(press_deadline + 1):
                    raise AssertionError(f"the shell ended on Ctrl-C with status "
                                         f"{self.exit_status()}; it wrote {self.seen!r}")
            if match:
                return self.expect(prompt, send)
        raise AssertionError(f"Ctrl-C brought no prompt back; the shell wrote {self.seen!r}; "
                             f"its state: {self._process_state()}")

    def _process_state(self) -> str:
        """Where the shell is stuck, from /proc where there is one."""
        try:
            with open(f"/proc/{self.pid}/status") as status:
                lines = [line.strip() for line in status
                         if line.startswith(("State", "SigPnd", "ShdPnd", "SigBlk", "SigIgn", "SigCgt"))]
            with open(f"/proc/{self.pid}/wchan") as wchan:
                lines.append(f"wchan: {wchan.read()}")
            return ", ".join(lines)
        except OSError:
            return "unknown"

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
def history(tmp_path):
    return tmp_path / "state" / "history"


@pytest.fixture
def session(history):
    if sys.platform == "win32":
        pytest.skip("needs a POSIX pseudo-terminal")
    s = Session(history)
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
    assert session.interrupt(DOCS_PROMPT, b"ls\r").endswith(b"^C\r\n")
    session.expect(b"ls\r\n")
    assert session.expect(DOCS_PROMPT, b"\x1b[A") == b""
    # The up arrow brings the last line back; Ctrl-U clears it again.
    session.expect(b"ls", b"\x15exit\r")
    assert session.exit_status() == 0


def test_end_of_input_leaves_interactive_session(session):
    session.expect(ROOT_PROMPT, b"frob\r")
    session.expect(ROOT_PROMPT, b"\x04")
    assert session.exit_status() == 0


@pytest.mark.skipif(platform.python_implementation() == "PyPy",
                    reason="PyPy's readline (pyrepl) does not recall lines on a dumb terminal")
def test_history_kept_across_sessions(session, history):
    session.expect(ROOT_PROMPT, b"mkdir kept\r")
    session.expect(ROOT_PROMPT, b"exit 5\r")
    assert session.exit_status() == 5
    assert "mkdir kept" in history.read_text()
    second = Session(history)
    try:
        second.expect(ROOT_PROMPT, b"\x1b[A\x1b[A")
        second.expect(b"mkdir kept", b"\x15exit\r")
        assert second.exit_status() == 0
    finally:
        second.close()


@pytest.mark.parametrize("kind", ["pipe", "link"])
def test_a_history_that_is_no_regular_file_is_left_alone(tmp_path, kind):
    if sys.platform == "win32":
        pytest.skip("needs a POSIX pseudo-terminal")
    history, target = tmp_path / "history", tmp_path / "target"
    target.write_text("old\n")
    if kind == "pipe":
        os.mkfifo(history)
    else:
        history.symlink_to(target)
    session = Session(history)
    try:
        assert b"is not a regular file" in session.expect(ROOT_PROMPT, b"mkdir new\r")
        session.expect(ROOT_PROMPT, b"exit\r")
        assert session.exit_status() == 0
    finally:
        session.close()
    assert target.read_text() == "old\n"
    assert history.is_fifo() if kind == "pipe" else history.is_symlink()


def test_ctrl_c_anywhere_in_a_step_keeps_the_session(monkeypatch):
    class Out(io.StringIO):
        interrupts = 2

        def write(self, text):
            if text == "^C\n" and self.interrupts:  # Ctrl-C again while ^C is shown
                self.interrupts -= 1
                raise KeyboardInterrupt
            return super().write(text)

    lines = iter([KeyboardInterrupt, "pwd", KeyboardInterrupt, EOFError])

    def fake_input(prompt):
        line = next(lines)
        if not isinstance(line, str):
            raise line
        return line

    monkeypatch.setattr("builtins.input", fake_input)
    shell = quorvex_shell.Shell(out=Out())
    assert shell.interact() == 0
    assert shell.out.getvalue() == "^C\n/\n^C\n\n"
