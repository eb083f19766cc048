"""An interactive shell over a quorvex in-memory file system.

``quorvex-shell`` (or ``python -m quorvex_shell``) starts with a new, empty file
system, or with a copy of a host directory (``--load HOSTDIR``), and runs one
command line at a time through a ``quorvex.PyTerm``. Output goes to standard
output, error messages to standard error. ``exit [N]`` or the end of the input
leaves; everything made in the session is gone afterwards.

On a terminal it shows a prompt with the working directory, lists ``ls`` in
columns, keeps a history across sessions and completes command names and the
entries of the working directory with Tab; Ctrl-C abandons the line being typed
(shown as ``^C``). Otherwise it runs a script without a prompt: a file named as
the argument, the text of ``-c LINE``, or standard input::

    printf 'mkdir a\\nls\\n' | quorvex-shell
    quorvex-shell setup.qsh
    quorvex-shell -c 'mkdir a'

Lines may end in CRLF. A failing line of a script is reported with its line
number (``line 3: cd: ...``), and the script goes on. The exit status is N after
``exit N``, otherwise 1 when any command of a script failed, 130 when a script
was interrupted, 2 when the shell could not start, and 0 otherwise (an
interactive session that ends without ``exit N`` always ends with 0).

The history lives in ``$QUORVEX_SHELL_HISTORY`` when that is set (empty: no
history file), else in ``$XDG_STATE_HOME/quorvex/shell_history`` (by default
``~/.local/state/quorvex/shell_history``); ``--history FILE`` overrides both. It is
opened without following a link or waiting on a pipe: anything but a regular file
there is left alone, and no history is kept.
"""

from __future__ import annotations

import argparse
import errno
import os
import shlex
import shutil
import stat
import sys
import tempfile
import unicodedata
from typing import Callable, Iterable, Sequence, TextIO, cast

import quorvex

__all__ = ["Shell", "main"]

# Characters with a meaning of their own to the word splitter: a completed name that
# contains one of them gets a backslash in front of it.
_ESCAPED = frozenset(" \t'\"\\#")

# Commands whose first argument names an existing entry of one kind, mapped to
# the kind completed for it and the text put after a completed name.
_ARGUMENT_KINDS: dict[str, tuple[str | None, str]] = {
    "cd": ("dirs", " "),
    "ls": ("dirs", " "),
    "cat": ("files", " "),
    # mkdir and touch make a new name; an existing directory is only useful as
    # the parent of it.
    "mkdir": ("dirs", "/"),
    "touch": ("dirs", "/"),
    "pwd": (None, ""),
    "help": (None, ""),
    "exit": (None, ""),
}

_EXIT = "exit"
_PROGRAM = "quorvex-shell"
_HISTORY_ENV = "QUORVEX_SHELL_HISTORY"
_HISTORY_LENGTH = 1000
_COLUMN_GAP = 2
# Status of an ``exit`` whose argument is not a number, as in POSIX shells.
_BAD_EXIT_STATUS = 2
_START_FAILED = 2
# Opening the history never follows a link nor waits for a pipe's writer; what
# os.open says of a link (EMLINK on the BSDs) and of a socket.
_HISTORY_OPEN = (getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_NONBLOCK", 0)
                 | getattr(os, "O_CLOEXEC", 0))
_NOT_A_FILE = (errno.ELOOP, errno.EMLINK, errno.ENXIO)


def quote_word(name: str) -> str:
    """Write ``name`` so that the terminal splits it back into that one word."""
    if "\n" in name:
        # A backslash before a line feed joins lines instead of keeping it.
        return "'" + name.replace("'", "'\\''") + "'"
    return "".join("\\" + c if c in _ESCAPED else c for c in name)


def display_width(text: str) -> int:
    """The number of terminal cells ``text`` takes: wide characters take two."""
    width = 0
    for char in text:
        if unicodedata.combining(char):
            continue
        width += 2 if unicodedata.east_asian_width(char) in "WF" else 1
    return width


def columns(entries: Sequence[str], width: int) -> str:
    """``entries`` in as few rows as fit in ``width`` cells, filled down then across."""
    if not entries:
        return ""
    widths = [display_width(entry) for entry in entries]
    most = min(len(entries), max(1, width // (min(widths) + _COLUMN_GAP) + 1))
    for wanted in range(most, 0, -1):
        rows = -(-len(entries) // wanted)
        cols = -(-len(entries) // rows)
        col_widths = [max(widths[c * rows:(c + 1) * rows]) for c in range(cols)]
        if sum(col_widths) + _COLUMN_GAP * (cols - 1) <= width or cols == 1:
            break
    lines = []
    for row in range(rows):
        cells = []
        for col in range(cols):
            index = col * rows + row
            if index >= len(entries):
                break
            padding = col_widths[col] + _COLUMN_GAP - widths[index]
            cells.append(entries[index] + " " * padding)
        lines.append("".join(cells).rstrip(" "))
    return "\n".join(lines) + "\n"


class OutputFailed(Exception):
    """Writing to the shell's output failed; the cause is the OSError."""


class _ClosedOutput:
    """Stands in for a standard output or error that was closed before the shell
    started."""

    def write(self, text: str) -> int:
        raise OSError(errno.EBADF, os.strerror(errno.EBADF))

    def flush(self) -> None:
        pass

    def isatty(self) -> bool:
        return False


class Shell:
    """One session: a terminal over a file system and its error state."""

    def __init__(
        self,
        term: quorvex.PyTerm | None = None,
        out: TextIO | None = None,
        err: TextIO | None = None,
        fs: quorvex.PyFs | None = None,
    ) -> None:
        if term is None:
            fs = fs if fs is not None else quorvex.PyFs()
            term = quorvex.PyTerm(fs)
        self.term = term
        # Completion lists directories through the file system itself; without one
        # it has no names to offer.
        self.fs = fs
        self.out: TextIO = out if out is not None else sys.stdout
        # A standard error closed before the shell started is None.
        self.err: TextIO = err if err is not None else sys.stderr or cast(TextIO, _ClosedOutput())
        self.failed = False
        self.status: int | None = None  # set by ``exit N``
        self.commands = self._command_names()
        self._matches: list[str] = []
        self.ls_width: Callable[[], int] | None = None
        if self.out.isatty():
            self.ls_width = lambda: shutil.get_terminal_size().columns

    def _command_names(self) -> list[str]:
        # help lists the terminal's own table, in no fixed order.
        names = set(self.term.exec("help").split())
        names.add(_EXIT)
        return sorted(names)

    def prompt(self) -> str:
        try:
            cwd = self.term.exec("pwd")
        except ValueError:
            cwd = "?"
        return f"quorvex:{cwd}$ "

    def write(self, text: str) -> None:
        try:
            self.out.write(text)
        except OSError as error:
            raise OutputFailed() from error

    def flush(self) -> None:
        try:
            self.out.flush()
        except OSError as error:
            raise OutputFailed() from error

    def report(self, message: str) -> None:
        self.failed = True
        # Keep the order of output and messages when both go to one file.
        self.flush()
        try:
            self.err.write(f"{message}\n")
            self.err.flush()
        except OSError:
            pass  # unseen, the failure still counts, and the script goes on

    def _exit(self, line: str, where: str) -> bool:
        try:
            args = shlex.split(line, comments=True)[1:]
        except ValueError:
            args = line.split()[1:]
        if len(args) > 1:
            self.report(f"{where}exit: too many arguments")
            return True
        if args:
            try:
                self.status = int(args[0]) & 0xFF
            except ValueError:
                self.report(f"{where}exit: {args[0]}: numeric argument required")
                self.status = _BAD_EXIT_STATUS
        return False

    def execute(self, line: str, where: str = "") -> bool:
        """Run one line; False when it asks to leave the shell.

        ``where`` is put in front of an error message (a script's line number).
        """
        words = line.split()
        if words and words[0] == _EXIT:
            return self._exit(line, where)
        try:
            output = self.term.exec(line)
        except ValueError as error:
            self.report(f"{where}{error}")
            return True
        if words and words[0] == "help":
            output += f"{_EXIT}\n"
        elif words and words[0] == "ls" and self.ls_width is not None:
            output = columns(self._listed_names(words[1:], output), self.ls_width())
        if output:
            self.write(output if output.endswith("\n") else output + "\n")
        return True

    def _listed_names(self, args: list[str], output: str) -> list[str]:
        """The entries ``ls`` printed, for columns: whole names, control characters as ?.

        The output alone cannot tell a line feed inside a name from the end of an entry,
        so the names come from the file system whenever they give back that same output.
        """
        if not output:
            return []
        entries = self._directory_entries(args)
        if entries is None or "".join(entry + "\n" for entry in entries) != output:
            # Entries end in a line feed; other line breaks belong to names.
            entries = output[:-1].split("\n") if output.endswith("\n") else output.split("\n")
        return ["".join("?" if unicodedata.category(c) == "Cc" else c for c in entry)
                for entry in entries]

    def _directory_entries(self, args: list[str]) -> list[str] | None:
        """What ``ls`` with these words would list, as the file system tells it."""
        if self.fs is None or len(args) > 1 or (args and "/" in args[0].lstrip("/")):
            return None
        try:
            cwd = self.term.exec("pwd")
            if not args:
                target = cwd
            elif args[0].startswith("/"):
                target = args[0]
            else:
                target = cwd.rstrip("/") + "/" + args[0]
            files, dirs = self.fs.listdir(target)
        except ValueError:
            return None
        return files + [name + "/" for name in dirs]

    def run_script(self, lines: Iterable[str]) -> int:
        for number, line in enumerate(lines, 1):
            if line.endswith("\n"):
                line = line[:-1]
            if line.endswith("\r"):
                line = line[:-1]
            if not self.execute(line, f"line {number}: "):
                break
        self.flush()
        if self.status is not None:
            return self.status
        return 1 if self.failed else 0

    def interact(self, history: str | None = None) -> int:
        save_history = _setup_readline(self, history)
        interrupted = False
        try:
            while True:
                # Ctrl-C may land anywhere in a step, also while the prompt is made or
                # while the previous ^C is shown; every one abandons the step.
                try:
                    if interrupted:
                        self.write("^C\n")
                        interrupted = False
                    if not self._interact_once():
                        break
                except KeyboardInterrupt:
                    interrupted = True
        finally:
            save_history()
        self.flush()
        return self.status if self.status is not None else 0

    def _interact_once(self) -> bool:
        """Read one line and run it; False when the session ends."""
        try:
            line = input(self.prompt())
        except EOFError:
            self.write("\n")
            return False
        return self.execute(line)

    def _entries(self) -> tuple[list[str], list[str]]:
        """The files and the directories of the working directory."""
        if self.fs is None:
            return [], []
        try:
            return self.fs.listdir(self.term.exec("pwd"))
        except ValueError:
            return [], []

    def candidates(self, before: str, text: str) -> list[str]:
        """Completions of ``text``, the word that follows ``before`` on the line."""
        words = before.split()
        if not words:
            return [name + " " for name in self.commands if name.startswith(text)]
        if len(words) > 1:
            # Every command uses its first argument only.
            return []
        kind, suffix = _ARGUMENT_KINDS.get(words[0], ("all", " "))
        if kind is None:
            return []
        files, dirs = self._entries()
        names = {"files": files, "dirs": dirs, "all": files + dirs}[kind]
        matches = (quote_word(name) for name in names)
        return sorted(word + suffix for word in matches if word.startswith(text))

    def complete(self, text: str, state: int) -> str | None:
        """The readline completer."""
        import readline

        if state == 0:
            line = readline.get_line_buffer()
            self._matches = self.candidates(line[: readline.get_begidx()], text)
        return self._matches[state] if state < len(self._matches) else None


def default_history_file() -> str | None:
    """Where the history lives unless ``--history`` says otherwise; None: nowhere."""
    named = os.environ.get(_HISTORY_ENV)
    if named is not None:
        return named or None
    state = os.environ.get("XDG_STATE_HOME") or os.path.join(
        os.path.expanduser("~"), ".local", "state"
    )
    return os.path.join(state, "quorvex", "shell_history")


def _read_regular_file(path: str) -> bytes | None:
    """The bytes of the regular file `path`, b"" when there is none, None when
    something else stands there; a link is not followed, a pipe not waited on."""
    try:
        fd = os.open(path, os.O_RDONLY | _HISTORY_OPEN)
    except FileNotFoundError:
        return b""
    except OSError as error:
        if error.errno in _NOT_A_FILE:
            return None
        raise
    with open(fd, "rb") as file:
        return file.read() if stat.S_ISREG(os.fstat(fd).st_mode) else None


def _replace_file(path: str, data: bytes) -> None:
    """Puts a regular file holding `data` at `path` in one step: whatever stood there,
    a link too, is replaced, never written through."""
    fd, temporary = tempfile.mkstemp(dir=os.path.dirname(path) or ".", prefix=".history.")
    try:
        with open(fd, "wb") as file:
            file.write(data)
        os.replace(temporary, path)
    except BaseException:
        os.remove(temporary)
        raise


def _setup_readline(shell: Shell, history: str | None) -> Callable[[], None]:
    """Set up line editing; returns what saves the history at the end.

    readline reads and writes the history only in a private copy, so that it never
    opens the history file itself: that could follow a link or wait on a pipe."""
    try:
        import readline
    except ImportError:  # line editing is a convenience, not a requirement
        return lambda: None
    readline.set_completer(shell.complete)
    readline.set_completer_delims(" \t\n")
    if "libedit" in (readline.__doc__ or ""):
        readline.parse_and_bind("bind ^I rl_complete")
    else:
        readline.parse_and_bind("tab: complete")
    if history is None:
        return lambda: None
    try:
        kept = _read_regular_file(history)
    except OSError as error:
        _warn(f"cannot read the history from {history}: {error.strerror or error}")
        kept = b""
    if kept is None:
        _warn(f"{history} is not a regular file; no history is kept")
        return lambda: None
    scratch = tempfile.TemporaryDirectory(prefix="quorvex-shell-")
    copy = os.path.join(scratch.name, "history")
    try:
        readline.set_history_length(_HISTORY_LENGTH)
        if kept:
            with open(copy, "wb") as file:
                file.write(kept)
            readline.read_history_file(copy)
        loaded = readline.get_current_history_length()
    except RuntimeError:
        # PyPy's line editor refuses a terminal it cannot drive (TERM=dumb); input()
        # then reads plain lines, with no history to keep.
        scratch.cleanup()
        return lambda: None

    def save() -> None:
        try:
            os.makedirs(os.path.dirname(history) or ".", exist_ok=True)
            current = _read_regular_file(history)
            if current is None:
                return  # something else stands there now: left alone
            with open(copy, "wb") as file:
                file.write(current)
            append = getattr(readline, "append_history_file", None)
            if append is not None and current:
                # Only this session's lines, so that sessions side by side keep theirs.
                append(readline.get_current_history_length() - loaded, copy)
            else:
                readline.write_history_file(copy)
            with open(copy, "rb") as file:
                _replace_file(history, file.read())
        except OSError as error:
            _warn(f"cannot save the history to {history}: {error.strerror or error}")
        finally:
            scratch.cleanup()

    return save


def _warn(message: str) -> None:
    if sys.stderr is None:
        return
    try:
        sys.stderr.write(f"{_PROGRAM}: {message}\n")
        sys.stderr.flush()
    except OSError:
        pass


def _tolerate_encoding_errors() -> None:
    # Undecodable input becomes U+FFFD instead of ending the session, and text the
    # console cannot show is escaped.
    for stream, errors in ((sys.stdin, "replace"), (sys.stdout, "backslashreplace"),
                           (sys.stderr, "backslashreplace")):
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None:
            reconfigure(errors=errors)


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=_PROGRAM,
        description="A shell over a new in-memory file system. Commands: "
        "cd, ls, pwd, cat, mkdir, touch, help; exit [N] or end of input leaves. "
        "Runs SCRIPT, or LINE, or standard input when it is not a terminal.",
    )
    parser.add_argument("script", nargs="?", metavar="SCRIPT",
                        help="a file of command lines to run (-: standard input)")
    parser.add_argument("-c", dest="command", metavar="LINE",
                        help="run LINE (which may hold several lines) and leave")
    parser.add_argument("--load", metavar="HOSTDIR",
                        help="start from a copy of the host directory HOSTDIR")
    parser.add_argument(
        "--history", metavar="FILE",
        help=f"keep the history of interactive sessions in FILE (empty: nowhere; "
        f"default: ${_HISTORY_ENV}, else $XDG_STATE_HOME/quorvex/shell_history)",
    )
    return parser


def _new_fs(host_dir: str | None) -> quorvex.PyFs:
    fs = quorvex.PyFs()
    if host_dir is not None:
        import quorvex_fs

        quorvex_fs.import_host(fs, host_dir)
    return fs


def _script_lines(script: str) -> list[str]:
    # Lines end at LF only, so that a lone CR stays part of a name.
    with open(script, encoding="utf-8", errors="replace", newline="\n") as file:
        return file.readlines()


def _run(args: argparse.Namespace, shell: Shell, script: list[str] | None) -> int:
    if script is not None:
        return shell.run_script(script)
    if sys.stdin is None:  # closed: nothing to read
        return shell.run_script(())
    if sys.stdin.isatty() and args.script is None:
        history = args.history if args.history is not None else default_history_file()
        return shell.interact(history or None)
    return shell.run_script(sys.stdin)


def main(argv: Sequence[str] | None = None) -> int:
    try:
        return _main(argv)
    finally:
        _settle_stderr()


def _settle_stderr() -> None:
    """Keeps the interpreter's own flush at exit from failing on a full standard error.

    Since 3.14 a buffered writer keeps the bytes that a failed write could not hand over,
    and the interpreter ends with status 120 when its last flush of them fails too; they
    go to the null device instead, since nobody can read them.
    """
    err = sys.stderr
    if err is None:
        return
    try:
        err.flush()
    except (OSError, ValueError):
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            try:
                os.dup2(devnull, err.fileno())
            finally:
                os.close(devnull)
        except (OSError, ValueError):
            pass


def _main(argv: Sequence[str] | None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    if args.script is not None and args.command is not None:
        parser.error("give either SCRIPT or -c LINE, not both")
    _tolerate_encoding_errors()
    script = None
    if args.command is not None:
        script = args.command.split("\n")
    elif args.script is not None and args.script != "-":
        try:
            script = _script_lines(args.script)
        except OSError as error:
            _warn(f"cannot read {args.script}: {error.strerror or error}")
            return _START_FAILED
    try:
        fs = _new_fs(args.load)
    except (OSError, ValueError) as error:
        _warn(f"cannot load {args.load}: {getattr(error, 'strerror', None) or error}")
        return _START_FAILED
    out = sys.stdout if sys.stdout is not None else _ClosedOutput()
    shell = Shell(quorvex.PyTerm(fs), out=out, fs=fs)  # type: ignore[arg-type]
    try:
        return _run(args, shell, script)
    except KeyboardInterrupt:
        return 130
    except OutputFailed as failure:
        cause = failure.__cause__
        if not isinstance(cause, BrokenPipeError):
            # A reader that went away is told nothing, as with any filter.
            _warn(f"cannot write to standard output: {getattr(cause, 'strerror', cause)}")
        if sys.stdout is not None:
            # Keep the interpreter from complaining while it flushes standard output
            # on the way out.
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        return 1


if __name__ == "__main__":
    sys.exit(main())
