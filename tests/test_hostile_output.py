"""Names and content from input cannot forge CI output: every command and error path under GitHub Actions.

A GitHub runner reads each line of a step's stdout and stderr (split at CR and
LF) and takes one that begins with "::" after leading white space as a workflow
command; the old form "##[command]" counts anywhere in a line. These tests run
every command and error path with hostile file names, tool names and YAML, and
read the output as the runner does: only ostik's own annotations may appear,
naming the files and lines they are about.
"""

import json
import os
import re
import subprocess
import sys
import unicodedata

import pytest

from ostik.reports.escaping import printable, xml_text
from ostik.reports.github import CommandGuard

FORGED_NAMES = [
    "a\n::stop-commands::tok\n",
    "b\n::error file=README.md,line=1::forged\n",
    "c\r::warning::cr\r",
    "  ::add-mask::d",
    "e ##[set-env name=X]1",
]
HOSTILE_TOOLS = ["x\n::error::forged tool", "\u009b31mred", "\u202edelwolla", "z\u200bero\x00nul", "::notice::n"]

POLICY = """\
version: "1"
name: "hostile\\n::error::in the name"
tools:
  allow: [read]
  deny: ["x\\n::error::forged tool"]
sequences:
  - {type: max_calls, tool: "\\u202edelwolla", max: 0}
  - {type: require, tool: read}
"""


def runner_commands(text):
    """The workflow commands a runner would find in `text`: (name, properties, data) for each."""
    found = []
    for line in re.split(r"\r\n|\r|\n", text):
        stripped = line.lstrip()
        end = stripped.find("::", 2) if stripped.startswith("::") else -1
        if end < 0:
            # Not a command: then the old form is looked for anywhere in it.
            assert "##[" not in line, line
            continue
        info, data = stripped[2:end], stripped[end + 2:]
        name, _, props = info.partition(" ")
        properties = {}
        for pair in filter(None, props.split(",")):
            key, _, value = pair.partition("=")
            properties[key] = value.replace("%3A", ":").replace("%2C", ",").replace("%0D", "\r").replace(
                "%0A", "\n").replace("%25", "%")
        found.append((name, properties, data))
    return found


def no_hidden_characters(text):
    """Nothing that moves the cursor, hides or reorders text reaches the reader."""
    for ch in text:
        if ch in "\n":
            continue
        assert unicodedata.category(ch) not in ("Cc", "Cf", "Zl", "Zp", "Cs"), repr(ch)


@pytest.fixture
def hostile(tmp_path):
    root = tmp_path / "ws"
    traces = root / "traces"
    traces.mkdir(parents=True)
    policy = root / "policy.yaml"
    policy.write_text(POLICY)
    files = []
    for i, name in enumerate(FORGED_NAMES):
        path = traces / f"{name}{i}.jsonl"
        steps = [{"tool": tool, "args": {"v": tool}} for tool in HOSTILE_TOOLS]
        path.write_text("".join(json.dumps(step) + "\n" for step in steps))
        files.append(path)
    # A file that cannot be read, and a policy that cannot be loaded, both named and filled with hostile text.
    unreadable = traces / "f\n::error file=x.py,line=9::unreadable\n.jsonl"
    unreadable.write_text('{"tool": "read"}\n::error::in the content\n{"tool": 1}\n')
    bad_policy = root / "g\n::error::bad policy\n.yaml"
    bad_policy.write_text("version: '1'\n\"::error::key\\n::warning::w\": 1\n")
    bad_step = traces / "h\n::error::bad step\n.jsonl"
    bad_step.write_text('{"tool": ["::error::list"]}\n')
    # A transcript in another format: its name comes back in the "detected format" note.
    chat = traces / "i\n::error file=README.md,line=1::detected\n.json"
    chat.write_text(json.dumps([{"role": "assistant", "tool_calls": [{"id": "c1", "type": "function", "function": {
        "name": "y\n::error::chat tool", "arguments": '{"v": "\\u202e"}'}}]}]))
    files.append(chat)
    return root, policy, files, unreadable, bad_policy, bad_step


def run(root, *args):
    env = {**os.environ, "GITHUB_ACTIONS": "true", "GITHUB_WORKSPACE": str(root)}
    return subprocess.run([sys.executable, "-m", "ostik", *map(str, args)], capture_output=True, text=True,
                          env=env, cwd=root, timeout=120)


def commands_of(result):
    no_hidden_characters(result.stdout)
    no_hidden_characters(result.stderr)
    return runner_commands(result.stdout) + runner_commands(result.stderr)


def annotated_files(commands, root):
    files = set()
    for name, properties, data in commands:
        assert name == "error", (name, properties, data)
        assert properties["title"].startswith("ostik: "), properties
        if "file" in properties:
            files.add(str(root / properties["file"]))
        assert "\n" not in data and "\r" not in data
    return files


def test_every_command_under_github_actions_writes_only_ostiks_own_commands(hostile, tmp_path):
    root, policy, files, unreadable, bad_policy, bad_step = hostile
    traces = root / "traces"
    runs = [
        ("check", policy), ("check", "--strict", policy), ("check", bad_policy), ("check", root / "missing\n::x::y"),
        ("explain", policy, files[0]), ("explain", "-v", policy, files[1]), ("explain", "--json", policy, files[2]),
        ("explain", policy, unreadable), ("explain", policy, bad_step), ("explain", bad_policy, files[0]),
        ("explain", policy, files[0], "--format", "x\n::error::choice"),
        ("coverage", policy, traces), ("coverage", "--json", policy, *files), ("coverage", policy, unreadable),
        ("report", policy, *files, "-o", tmp_path / "page.html"), ("report", policy, unreadable, "-o", tmp_path / "p"),
        ("test", "-q", policy, *files), ("test", "--json", policy, *files), ("test", "-v", policy, *files),
        ("test", policy, traces, "--junit-xml", tmp_path / "junit.xml"), ("test", bad_policy, traces),
        ("test", policy, root / "nowhere\n::error::missing path"),
    ]
    for args in runs:
        result = run(root, *args)
        assert result.returncode in (0, 1, 2), (args, result.stderr)
        commands = commands_of(result)
        annotated = annotated_files(commands, root)
        if args[0] == "test" and bad_policy not in args:
            # Each failing trace is annotated on its own file, and so is each unusable one (-q too).
            expected = {str(f) for f in files}
            if traces in args:
                expected |= {str(unreadable), str(bad_step)}
            if "nowhere" in str(args[-1]):
                expected = {str(args[-1])}  # a path that is not there: an unusable input of its own
            assert annotated == expected, args
            lines = {properties.get("line") for _, properties, _ in commands if "line" in properties}
            assert lines <= {"1"}, lines
        else:
            assert annotated == set(), args


def test_the_junit_report_holds_every_hostile_name_visibly(hostile, tmp_path):
    root, policy, files, *_ = hostile
    out = tmp_path / "junit.xml"
    run(root, "test", policy, *files, "--junit-xml", out)
    text = out.read_text()
    no_hidden_characters(text.replace("\t", ""))
    assert "\\u202edelwolla" in text and "\\u009b31mred" in text and "\\u000a::stop-commands::tok" in text


@pytest.mark.parametrize(("text", "shown"), [
    ("a\n::b", "a\\u000a::b"),
    ("\x1b[31m", "\\u001b[31m"),
    ("\u009b31m", "\\u009b31m"),
    ("\u202edelwolla", "\\u202edelwolla"),
    ("\u2066x\u2069", "\\u2066x\\u2069"),
    ("zero\u200bwidth\ufeff", "zero\\u200bwidth\\ufeff"),
    ("nul\x00", "nul\\u0000"),
    ("line\u2028sep", "line\\u2028sep"),
    ("\udcff", "\\udcff"),
    ("\U000e0041tag", "\\U000e0041tag"),
    ("plain é ü ✓ 日本", "plain é ü ✓ 日本"),
])
def test_printable_shows_what_would_hide_as_u_escapes(text, shown):
    assert printable(text) == shown
    assert xml_text(text) == shown


@pytest.mark.parametrize(("writes", "expected"), [
    (["::error::x\n"], "\\u003a:error::x\n"),
    (["a\n::stop-commands::t\n"], "a\n\\u003a:stop-commands::t\n"),
    (["a\r  ::warning::w"], "a\r  \\u003a:warning::w"),
    (["x ", "::error::mid line\n"], "x ::error::mid line\n"),
    (["  ", "::error::after blanks\n"], "  \\u003a:error::after blanks\n"),
    (["a\n", "::error::next write\n"], "a\n\\u003a:error::next write\n"),
    (["say ##[set-env name=a]b\n"], "say ##\\u005bset-env name=a]b\n"),
    ([":single colon\n"], ":single colon\n"),
    (["no command: here\n", "::error::after it\n"], "no command: here\n\\u003a:error::after it\n"),
    (["a: b", "\n::error::x"], "a: b\n\\u003a:error::x"),
])
def test_the_guard_disarms_every_line_that_would_begin_a_command(writes, expected):
    import io

    out = io.StringIO()
    guard = CommandGuard(out)
    for text in writes:
        assert guard.write(text) == len(text)
    assert out.getvalue() == expected
    guard.command("::error file=a::own")
    assert runner_commands(out.getvalue()) == [("error", {"file": "a"}, "own")]
