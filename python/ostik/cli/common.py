"""What every command shares: exit statuses, options, loading a policy, reading traces, progress on stderr."""

from __future__ import annotations

import argparse
import math
import os
import sys
from collections.abc import Callable, Iterable, Iterator, Sequence
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any

from ostik._engine import Guard
from ostik._inspect import argument_rule_error, ignored_keys, policy_records
from ostik._native import Policy
from ostik.formats import AUTO, FORMATS
from ostik.formats.json_text import MAX_RECORD_BYTES
from ostik.formats.trace_files import STDIN, TraceFile, TraceFileError, walk_trace_files
from ostik.reports.escaping import printable
from ostik.runs.judging import read_traces as read_trace_source
from ostik.runs.judging import trace_paths

if TYPE_CHECKING:
    from ostik._inspect import IgnoredKey, PolicyRecords

    # The parser of one command is added to this.
    Commands = argparse._SubParsersAction[argparse.ArgumentParser]

EXIT_OK, EXIT_FAILED, EXIT_UNUSABLE = 0, 1, 2

# Below this many trace files reading is quick enough to need no progress line.
PROGRESS_MIN_FILES = 20

# How long to wait for a Dask scheduler to answer.
DASK_CONNECT_SECONDS = 10

FORMAT_CHOICES = (AUTO, *FORMATS)


class UnusableInput(Exception):
    """Input that cannot be judged at all; the message names the file."""


def add_format_argument(command: argparse.ArgumentParser) -> None:
    command.add_argument("--format", metavar="NAME", choices=FORMAT_CHOICES, default=AUTO,
                         help="the trace files' format: " + ", ".join(FORMAT_CHOICES) +
                              " (default: auto, told from the content)")
    command.add_argument("--max-record-bytes", metavar="N", type=byte_count, default=MAX_RECORD_BYTES,
                         help="refuse a trace file with a record (a line, or a document) longer than N bytes "
                              f"(default: {MAX_RECORD_BYTES}, 256 MiB)")


def byte_count(text: str) -> int:
    return positive_count(text)


def refuse_overwriting_inputs(outputs: Sequence[tuple[str, str | None]], policy: str,
                              arguments: Sequence[str]) -> None:
    """Refuses an output file (by option and path) that is one of the inputs, the same file by
    device and inode, before anything is read or written: writing it would destroy the input."""
    written = {}
    for option, path in outputs:
        if path is None or path == STDIN:
            continue
        try:
            info = os.stat(path)
        except OSError:
            continue  # not there yet: no input can be it
        written[(info.st_dev, info.st_ino)] = (option, path)
    if not written:
        return
    inputs = [policy]
    for argument in arguments:
        if argument != STDIN and os.path.isdir(argument):
            inputs.extend(walk_trace_files(argument)[0])
        elif argument != STDIN:
            inputs.append(argument)
    for path in inputs:
        try:
            info = os.stat(path)
        except OSError:
            continue
        hit = written.get((info.st_dev, info.st_ino))
        if hit is not None:
            option, output = hit
            raise UnusableInput(f"{option} {output}: is the input {path}; refusing to overwrite it (nothing was read "
                                "or written)")


def add_dask_argument(command: argparse.ArgumentParser) -> None:
    command.add_argument("--dask-scheduler", metavar="ADDRESS",
                         help="send the work to the running Dask cluster at ADDRESS (such as tcp://host:8786), "
                              "whose workers read the trace files at the same paths; needs ostik[dask]")


def cores() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def positive_count(text: str) -> int:
    """A whole number, at least 1: the argparse type of -j and of other counts."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {text!r}")
    return value


def percentage(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"not a finite number: {text!r}")
    return value


def warn(message: str) -> None:
    """A message on stderr; what it quotes from input (file names, YAML) shown printable."""
    print(printable(message), file=sys.stderr)


def load_records(path: str) -> PolicyRecords:
    try:
        return policy_records(path)
    except (FileNotFoundError, ValueError) as err:
        raise UnusableInput(f"{path}: {err}") from None


def load_ignored_keys(path: str) -> list[IgnoredKey]:
    try:
        return ignored_keys(path)
    except (FileNotFoundError, ValueError) as err:  # the file changed since its records were read
        raise UnusableInput(f"{path}: {err}") from None


def load_guard_file(path: str) -> Guard:
    """The guard of the policy file at `path`, in the whole language (the seven keys of
    Policy.from_file, and the guard's own sections: ask, limits); every command loads its
    policy here. A message about the file is located."""
    try:
        return Guard.from_file(path)
    except (FileNotFoundError, ValueError) as err:
        raise UnusableInput(f"{path}: {err}") from None


def load_policy(path: str) -> Policy:
    """The policy of the file at `path` as load_guard_file reads it (its ask and limit
    entries ride along for the guards made from it)."""
    return load_guard_file(path).policy


def load_policy_and_records(path: str) -> tuple[Policy, PolicyRecords]:
    records = load_records(path)
    return load_policy(path), records  # a failure here: the file changed in between


def load_argument_rule_error(path: str) -> str | None:
    """The first argument constraint of the policy file that cannot be understood, located, if any."""
    try:
        return argument_rule_error(path)
    except (FileNotFoundError, ValueError) as err:  # the file changed since it was loaded
        raise UnusableInput(f"{path}: {err}") from None


def load_guard(path: str, policy: Policy) -> Guard:
    """The guard of the policy loaded from `path`: a constraint it cannot understand makes the
    policy unusable, as a policy that does not load is."""
    try:
        return Guard(policy)
    except ValueError as err:
        raise UnusableInput(f"{path}: {load_argument_rule_error(path) or err}") from None


def load_judging_policy(path: str) -> tuple[Policy, Guard]:
    """A policy file as every command that judges traces by it loads it: the policy and its guard.
    What the policy language reads is decided here, once, for all of them."""
    policy = load_policy(path)
    return policy, load_guard(path, policy)


def named_tools_expected(coverage: dict[str, Any], guard: Guard) -> dict[str, Any]:
    """The coverage report as the text and the page show it: a tool that only the guard's
    entries name (an ask, a limit, a label, a flow) is no unexpected tool. The report itself
    counts the tools and sequences sections alone; `--json` prints it as it is."""
    tools = coverage["tool_coverage"]
    unexpected = [name for name in tools["unexpected_tools"] if not guard.entries_name(name)]
    if len(unexpected) == len(tools["unexpected_tools"]):
        return coverage
    return {**coverage, "tool_coverage": {**tools, "unexpected_tools": unexpected}}


def read_traces(path: str, trace_format: str, warn: Callable[[str], None] = warn) -> TraceFile:
    """Reads a trace file in the named format, or in the one its content shows ("auto")."""
    try:
        trace_file, notes = read_trace_source(path, trace_format)
    except TraceFileError as err:
        raise UnusableInput(str(err)) from None
    for note in notes:
        warn(note)
    return trace_file


def write_lines(lines: Iterable[str]) -> None:
    """Writes lines to stdout in large pieces: a long trace has a line per step."""
    chunk: list[str] = []
    for line in lines:
        chunk.append(line)
        if len(chunk) == 4096:
            sys.stdout.write("\n".join(chunk) + "\n")
            chunk.clear()
    if chunk:
        sys.stdout.write("\n".join(chunk) + "\n")


def coverage_trace_paths(arguments: Sequence[str]) -> tuple[list[str], int]:
    """The trace files named on the command line, a directory standing for the trace files under it,
    and how many arguments or entries could not be used, each told on stderr (and as a GitHub
    annotation in a workflow): the other files are still used."""
    paths, errors = trace_paths(arguments)
    for path, error in errors:
        tell_unusable(path, error)
    if not paths and errors:
        raise UnusableInput("")  # each told above
    return paths, len(errors)


def tell_unusable(path: str, error: str, stream: object = None) -> None:
    """An input that cannot be used, on stderr and, in a GitHub workflow, as an error annotation."""
    from ostik.reports.github import error_command, in_github_actions, write_command

    warn(error)
    if in_github_actions():
        file = None if path == STDIN else path
        write_command(error_command(printable(error), file=file, title="ostik: unusable input"),
                      sys.stdout if stream is None else stream)  # type: ignore[arg-type]


class Progress:
    """A self-overwriting count on stderr, shown only where a person watches it."""

    def __init__(self, total: int, doing: str = "reading trace files", shown: bool = True) -> None:
        self.total = total
        self.doing = doing
        self.shown = shown and total >= PROGRESS_MIN_FILES and sys.stderr.isatty()
        self.every = max(1, total // 100)

    def update(self, done: int) -> None:
        if self.shown and (done % self.every == 0 or done == self.total):
            sys.stderr.write(f"\r{self.doing}: {done}/{self.total}")
            sys.stderr.flush()

    def clear(self) -> None:
        if self.shown:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()

    def note(self, message: str) -> None:
        """A message on a line of its own; the count is drawn again at the next update."""
        self.clear()
        warn(message)


@contextmanager
def dask_cluster(address: str, paths: Sequence[str]) -> Iterator[None]:
    """Connected to the Dask scheduler at `address`, as the default scheduler, for the `with` block."""
    if STDIN in paths:
        raise UnusableInput("--dask-scheduler: standard input cannot be read on a cluster; name trace files")
    try:
        import ostik.dask  # noqa: F401 - what the block uses
        from distributed import Client
    except ImportError:
        raise UnusableInput("--dask-scheduler needs Dask with distributed: pip install 'ostik[dask]'") from None
    try:
        client = Client(address, timeout=DASK_CONNECT_SECONDS)  # type: ignore[no-untyped-call]
    except (OSError, TimeoutError, ValueError) as err:
        raise UnusableInput(f"--dask-scheduler {address}: cannot connect: {err}") from None
    with client:
        yield
