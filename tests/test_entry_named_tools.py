"""Tools that only the whole language's entries name are no "unexpected tools" in the
coverage text and on the report page; the JSON report keeps the tools section's count."""

import json
import subprocess
import sys

import pytest

import ostik

POLICY = """\
version: "1"
name: named
tools:
  allow: [read]
aliases:
  pushers: [git_push, hg_push]
ask:
  - tool: pushers
  - tool: deploy
    after: approve_me
limits:
  - {tool: "mcp__github__*", max: 5}
  - {tool: "*", max: 1000}
  - {repeat: 3}
labels:
  untrusted: [read_email]
  unused: ["web_?"]
taint:
  - label: secret
    tool: read_env
    result: {matches: 'AKIA'}
flows:
  - {from: [untrusted, secret], to: send, effect: ask}
"""


@pytest.fixture
def guard(write_policy):
    return ostik.Guard.from_file(write_policy(POLICY))


@pytest.mark.parametrize("tool, named", [
    ("hg_push", True),             # an ask, through an alias
    ("approve_me", True),          # an ask's `after`
    ("mcp__github__issue", True),  # a limit's pattern
    ("mcp__gitlab__issue", False),
    ("read_email", True),          # a label a flow follows
    ("web_1", True),               # a label no flow follows
    ("web_12", False),
    ("read_env", True),            # a taint entry's tools
    ("send", True),                # a flow's `to`
    ("secret", False),             # a taint label is no tool
    ("read", False),               # the tools section is not the entries'
    ("anything", False),           # a lone "*" names no tool in particular
])
def test_entries_name(guard, tool, named):
    assert guard.entries_name(tool) is named


def test_entries_name_without_entries(write_policy):
    assert not ostik.Guard.from_file(write_policy('version: "1"\ntools:\n  allow: [read]\n')).entries_name("read")


def test_entries_name_wants_a_str(guard):
    with pytest.raises(TypeError, match="tool"):
        guard.entries_name(b"send")


def cli(*args):
    return subprocess.run([sys.executable, "-m", "ostik", *args], capture_output=True, text=True, check=False)


TRACE = [{"tool": t} for t in ("read", "deploy", "mcp__github__issue", "read_email", "web_1", "other")]


def test_coverage_text_and_page_leave_out_tools_the_entries_name(write_policy, tmp_path):
    policy = write_policy(POLICY)
    trace = tmp_path / "run.json"
    trace.write_text(json.dumps(TRACE))
    report = json.loads(cli("coverage", "--json", policy, str(trace)).stdout)
    assert sorted(report["tool_coverage"]["unexpected_tools"]) == [
        "deploy", "mcp__github__issue", "other", "read_email", "web_1"]

    out = cli("coverage", policy, str(trace)).stdout
    assert "unexpected tools (called, but the policy never names them): other\n" in out

    page = tmp_path / "page.html"
    cli("report", policy, str(trace), "-o", str(page))
    html = page.read_text()
    assert "<code>other</code> (not named by the policy)" in html
    assert "<code>deploy</code></th>" in html
