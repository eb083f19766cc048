"""An interactive shell over a quorvex in-memory file system.

``quorvex-shell`` (or ``python -m quorvex_shell``) starts with a new, empty file
system and runs one command line at a time through a ``quorvex.PyTerm``. Output
goes to standard output, error messages to standard error. ``exit`` or the end of
the input leaves; everything made in the session is gone afterwards.

On a terminal it shows a prompt with the working directory, keeps a history and
completes command names and the entries of the working directory with Tab;
Ctrl-C abandons the line being typed. Otherwise it reads commands line by line
without a prompt, so it can run scripts::

    printf 'mkdir a\\nls\\n' | quorvex-shell

The exit status is 1 when any command of a script failed, 130 when a script was
interrupted, and 0 otherwise; an interactive session always ends with 0.
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import Iterable, Sequence, TextIO

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


def quote_word(name: str) -> str:
    """Write ``name`` so that the terminal splits it back into that one word."""
    if "\n" in name:
        # A backslash before a line feed joins lines instead of keeping it.
        return "'" + name.replace("'", "'\\''") + "'"
    return "".join("\\" + c if c in _ESCAPED else c for c in name)


class Shell:
    """One session: a terminal over a new file system and its error state."""

    def __init__(
        self,
        term: quorvex.PyTerm | None = None,
        out: TextIO | None = None,
        err: TextIO | None = None,
    ) -> None:
        self.term = term if term is not None else quorvex.PyTerm(quorvex.PyFs())
        self.out = out if out is not None else sys.stdout
        self.err = err if err is not None else sys.stderr
        self.failed = False
        self.commands = self._command_names()
        self._matches: list[str] = []

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

    def execute(self, line: str) -> bool:
        """Run one line; False when it asks to leave the shell."""
        words = line.split()
        if words and words[0] == _EXIT:
            return False
        try:
            output = self.term.exec(line)
        except ValueError as error:
            self.failed = True
            # Keep the order of output and messages when both go to one file.
            self.out.flush()
            self.err.write(f"{error}\n")
            self.err.flush()
            return True
        if output and not output.endswith("\n"):
            output += "\n"
        self.out.write(output)
        return True

    def run_script(self, lines: Iterable[str]) -> int:
        for line in lines:
            if line.endswith("\n"):
                line = line[:-1]
            if not self.execute(line):
                break
        self.out.flush()
        return 1 if self.failed else 0

    def interact(self) -> int:
        _setup_readline(self)
        while True:
            try:
                line = input(self.prompt())
            except EOFError:
                self.out.write("\n")
                break
            except KeyboardInterrupt:
                self.out.write("\n")
                continue
            try:
                if not self.execute(line):
                    break
            except KeyboardInterrupt:
                self.out.write("\n")
        self.out.flush()
        return 0

    def _entries(self) -> tuple[list[str], list[str]]:
        """The files and the directories of the working directory."""
        try:
            listing = self.term.exec("ls")
        except ValueError:
            return [], []
        files: list[str] = []
        dirs: list[str] = []
        for entry in listing.splitlines():
            if entry.endswith("/"):
                dirs.append(entry[:-1])
            else:
                files.append(entry)
        return files, dirs

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


def _setup_readline(shell: Shell) -> None:
    try:
        import readline
    except ImportError:  # line editing is a convenience, not a requirement
        return
    readline.set_completer(shell.complete)
    readline.set_completer_delims(" \t\n")
    if "libedit" in (readline.__doc__ or ""):
        readline.parse_and_bind("bind ^I rl_complete")
    else:
        readline.parse_and_bind("tab: complete")


def _tolerate_encoding_errors() -> None:
    # Undecodable input becomes U+FFFD instead of ending the session, and text the
    # console cannot show is escaped.
    for stream, errors in ((sys.stdin, "replace"), (sys.stdout, "backslashreplace"),
                           (sys.stderr, "backslashreplace")):
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None:
            reconfigure(errors=errors)


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="quorvex-shell",
        description="A shell over a new, empty in-memory file system. Commands: "
        "cd, ls, pwd, cat, mkdir, touch, help; exit or end of input leaves. "
        "Reads a script from standard input when it is not a terminal.",
    )
    parser.parse_args(argv)
    _tolerate_encoding_errors()
    shell = Shell()
    try:
        if sys.stdin.isatty():
            return shell.interact()
        return shell.run_script(sys.stdin)
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader went away: say nothing more, and keep the interpreter from
        # complaining while it flushes standard output on the way out.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1


if __name__ == "__main__":
    sys.exit(main())
