"""`ostik report`: the HTML page read back without a browser (markup, embedded data, escaping, size)."""

import base64
import hashlib
import json
import re
from pathlib import Path

import pytest
from report_pages import (POLICY, ROOT, TRACES, decoded_traces, long_trace, many_traces, read_page,
                          write_report)

import ostik
import ostik.formats
from ostik.reports.escaping import printable
from ostik.reports.html import embedded_json
from ostik.formats.trace_files import find_trace_files, read_trace_file

MAX_PAGE_BYTES = 50 * 1024 * 1024


def bundled_traces():
    return [trace for path in find_trace_files(str(TRACES)) for trace in read_trace_file(path).traces]


@pytest.fixture(scope="module")
def bundled(tmp_path_factory):
    output = tmp_path_factory.mktemp("report") / "report.html"
    result = write_report(POLICY, TRACES, output=output)
    return result, output, read_page(output)


def test_the_bundled_traces(bundled):
    result, output, _ = bundled
    assert (result.returncode, result.stdout) == (1, "")  # three of the six traces fail
    assert result.stderr == f"wrote {output}: 6 traces, 3 failed, 36 steps, 8 blocked\n"


def test_every_trace_shows_what_guard_judge_says(bundled):
    guard = ostik.Guard(ostik.Policy.from_file(POLICY))
    traces = bundled_traces()
    shown = decoded_traces(bundled[2].data)
    assert [t["label"] for t in shown] == [trace.label for trace in traces]
    for trace, page in zip(traces, shown):
        judgement = guard.judge(trace.steps)
        assert (page["passed"], page["steps"], page["blocked"], page["first"], page["rules"]) == (
            judgement.passed, judgement.steps, judgement.blocked_steps, judgement.first_block,
            judgement.blocking_rules)
        assert page["tools"] == [decision.tool for decision in judgement.decisions]
        assert page["failures"] == {decision.step: [(f.rule_id, f.explanation) for f in decision.failures]
                                    for decision in judgement.decisions if not decision.allowed}
        assert page["end"] == [(f.rule_id, f.explanation) for f in judgement.end_failures]


def test_the_summary_counts(bundled):
    page = bundled[2]
    assert page.counts == {"traces": 6, "passed": 3, "failed": 3, "steps": 36, "blocked steps": 8, "files": 5}
    assert "FAIL: 3 of 6 traces failed" in page.text()


def test_the_rules_and_coverage_sections(bundled):
    page = bundled[2]
    text = page.text()
    report = json.loads(ostik.CoverageAnalyzer(ostik.Policy.from_file(POLICY)).analyze(
        [trace.steps for trace in bundled_traces()], 0.0))
    tools = report["tool_coverage"]
    assert f"{tools['tools_seen_in_traces']} of {tools['total_tools_in_policy']} (75.0%)" in text
    assert "delete_repo [high]: Tool is in deny list but never appeared in test traces" in text
    assert "run_exec (not named by the policy)" in text
    rows = {tag_attrs.get("class") for tag, tag_attrs in page.tags if tag == "tr"}
    assert {"pass", "fail"} <= rows
    # every rule of the policy has a row, in the order a step lists them: the tool lists, the
    # argument rules, then the sequence rules in policy order
    ids = [rule[0] for rule in page.data["rules"]]
    argument_rules = [rule["rule_id"] for rule in ostik.Guard(ostik.Policy.from_file(POLICY)).argument_rules]
    assert ids[:2] == ["allow_list", "deny_list"]
    assert ids[2:2 + len(argument_rules)] == argument_rules == [
        "require_args_edit_file", "require_args_run_tests", "arg_edit_file_path", "arg_run_tests_timeout_s"]
    assert ids[2 + len(argument_rules):] == [e["rule_id"] for e in json.loads(
        ostik.TraceExplainer(ostik.Policy.from_file(POLICY)).explain(
            [{"tool": "read_file"}, {"tool": "read_file"}]))["steps"][0]["rules_evaluated"]]
    # the bundled traces meet every argument rule
    assert "4 of 4 argument rules reached by a call, 0 violated" in text


def test_the_page_loads_nothing_and_allows_only_its_own_script_and_style(bundled):
    output, page = bundled[1], bundled[2]
    text = Path(output).read_text()
    assert not re.search(r"(?i)https?:|ftp:|//[a-z0-9.-]+\.[a-z]{2,}/|url\(|@import", text)
    for tag, attributes in page.tags:
        assert tag not in {"link", "img", "iframe", "object", "embed", "base", "audio", "video", "source", "form"} \
            or tag == "form" and "action" not in attributes, tag
        assert "src" not in attributes and "srcset" not in attributes, (tag, attributes)
        assert attributes.get("href", "#").startswith("#"), (tag, attributes)
    (csp,) = [attrs["content"] for tag, attrs in page.tags
              if tag == "meta" and attrs.get("http-equiv") == "Content-Security-Policy"]
    policy = dict(part.strip().split(" ", 1) for part in csp.split(";"))
    assert policy["default-src"] == "'none'"

    def digest(source):
        return "'sha256-" + base64.b64encode(hashlib.sha256(source.encode()).digest()).decode() + "'"

    code = [text for attributes, text in page.scripts if attributes.get("type") != "application/json"]
    assert len(code) == 1 and len(page.scripts) == 2 and len(page.styles) == 1
    assert policy["script-src"] == digest(code[0])
    assert policy["style-src"] == digest(page.styles[0])


HOSTILE_NAMES = ["</script><script>alert(1)</script>", "<!--", "<img src=x onerror=alert(1)>", "a&amp;b", "]]>",
                 "\u2028\u2029", "evil\x1b]0;t\x07"]


def test_names_from_trace_files_stay_inert(tmp_path, write_policy):
    policy = write_policy("version: '<b>1</b>'\nname: \"</title><script>alert(1)</script>\"\n"
                          "tools: {deny: ['</script>']}\nsequences: [[blocklist, '<script>'], [require, '<!--']]\n")
    folder = tmp_path / "<i>traces&amp;"
    folder.mkdir()
    (folder / "<script>x.jsonl").write_text("".join(json.dumps({"tool": name}) + "\n" for name in HOSTILE_NAMES)
                                            + json.dumps({"tool": "</script>"}) + "\n")
    output = tmp_path / "report.html"
    result = write_report(policy, folder, output=output)
    assert result.returncode == 1, result.stderr
    page = read_page(output)
    assert len(page.scripts) == 2 and not [tag for tag, _ in page.tags if tag == "img"]
    assert [tag for tag, _ in page.tags].count("script") == 2
    (title,) = [text for text in page.texts if "ostik report: " in text]
    assert "</title><script>alert(1)</script>" in title
    assert "blocklist_<script>" in page.text() and "require_<!--" in page.text()
    data = page.data
    # As the terminal shows them: what would hide or reorder text, escaped.
    assert data["tools"] == [printable(name) for name in HOSTILE_NAMES] + ["</script>"]
    assert data["files"] == [str(folder / "<script>x.jsonl")]
    assert {"Tool '</script>' is in deny list",
            "'</script><script>alert(1)</script>' matches blocklist pattern '<script>'"} <= set(data["reasons"])
    raw = output.read_text()
    json_text = raw.split('<script type="application/json" id="report-data">', 1)[1].split("</script>", 1)[0]
    assert "<" not in json_text and json.loads(json_text) == data


@pytest.mark.parametrize("value", [
    "</script>", "<!--<script>", "</SCRIPT >", "a & b > c", "\ud800 lone surrogate", ["é", {"k": "\U0001f600"}]])
def test_embedded_json_cannot_end_its_element(value):
    text = embedded_json({"v": value})
    assert not set(text) & set("<>&") and text.isascii()
    assert json.loads(text) == {"v": value}


# --- the command ----------------------------------------------------------------------------------------------


def test_a_passing_run_exits_0(tmp_path):
    output = tmp_path / "out.html"
    result = write_report(POLICY, TRACES / "good.jsonl", TRACES / "hotfix.json", output=output)
    assert (result.returncode, result.stderr) == (0, f"wrote {output}: 2 traces, 0 failed, 11 steps, 0 blocked\n")
    page = read_page(output)
    assert page.counts["failed"] == 0 and "PASS: all 2 traces passed" in page.text()


def test_an_empty_trace_fails_when_the_policy_requires_a_tool(tmp_path, write_policy):
    (tmp_path / "empty.jsonl").write_text("")
    output = tmp_path / "out.html"
    assert write_report(POLICY, tmp_path / "empty.jsonl", output=output).returncode == 1
    (trace,) = decoded_traces(read_page(output).data)
    assert (trace["passed"], trace["steps"], trace["end"]) == (
        False, 0, [("require_run_tests", "Required tool 'run_tests' never called")])
    lenient = write_policy("version: '1'\nsequences: [[max_calls, a, 1]]\n")
    assert write_report(lenient, tmp_path / "empty.jsonl", output=output).returncode == 0


def test_directories_are_searched_recursively_and_stdin_is_read(tmp_path):
    nested = tmp_path / "runs" / "2024" / "deep"
    nested.mkdir(parents=True)
    (nested / "a.jsonl").write_text((TRACES / "good.jsonl").read_text())
    (tmp_path / "runs" / "b.json").write_text((TRACES / "hotfix.json").read_text())
    (tmp_path / "runs" / "notes.txt").write_text("not a trace")
    output = tmp_path / "out.html"
    result = write_report(POLICY, tmp_path / "runs", "-", output=output, input=(TRACES / "blocked.jsonl").read_text())
    assert result.returncode == 1, result.stderr
    labels = [trace["label"] for trace in decoded_traces(read_page(output).data)]
    # a folder's own files first, then its subfolders'
    assert labels == [str(tmp_path / "runs" / "b.json"), str(nested / "a.jsonl"), "<stdin>"]


def test_transcripts_in_other_formats(tmp_path):
    output = tmp_path / "out.html"
    transcript = ROOT / "tests" / "data" / "formats" / "anthropic.json"
    result = write_report("--format", "anthropic", POLICY, transcript, output=output)
    assert result.returncode in (0, 1), result.stderr
    traces = decoded_traces(read_page(output).data)
    assert traces and traces[0]["tools"] == [step["tool"] for step in ostik.formats.read(str(transcript),
                                                                                            "anthropic")[0]]


@pytest.mark.parametrize(("lines", "where"), [
    (['{"tool":"read_file"}', '{"tool": read_file}'], "line 2: not valid JSON: Expecting value (column 10)"),
    (['{"tool":"a"}', '{"tool":7}'], 'line 2: Invalid tool call format: "tool" must be str, not int'),
    (['[{"tool":"a"},{"tool":"b","name":"c"}]'], 'line 1: step 1: Invalid tool call format: duplicate field `tool`: '
                                                 'both "tool" and "name" give the tool\'s name (only one may, unless '
                                                 "the other is null)"),
])
def test_unusable_traces_exit_2_naming_file_and_line_and_write_no_page(tmp_path, lines, where):
    bad = tmp_path / "bad.jsonl"
    bad.write_text("\n".join(lines) + "\n")
    output = tmp_path / "out.html"
    result = write_report(POLICY, TRACES / "good.jsonl", bad, output=output)
    assert (result.returncode, result.stdout, result.stderr) == (2, "", f"{bad}: {where}\n")
    assert not output.exists()


def test_other_unusable_input(tmp_path, write_policy):
    output = tmp_path / "out.html"
    empty = tmp_path / "none"
    empty.mkdir()
    assert write_report(POLICY, empty, output=output).stderr == (
        f"{empty}: no .jsonl or .json files in this directory or below\n")
    missing = tmp_path / "absent.jsonl"
    assert write_report(POLICY, missing, output=output).stderr == f"{missing}: No such file or directory\n"
    bad_policy = write_policy("version: 1\nrules: []\n")
    result = write_report(bad_policy, TRACES, output=output)
    assert result.returncode == 2 and "unknown field `rules`" in result.stderr
    result = write_report(POLICY, TRACES, output=tmp_path)  # a directory cannot be written as a file
    assert result.returncode == 2 and result.stderr.startswith(f"{tmp_path}: cannot write the report: ")
    assert not output.exists()


# --- size -----------------------------------------------------------------------------------------------------


def test_a_100000_step_trace_makes_a_page_under_50_mb(tmp_path):
    trace = long_trace(tmp_path / "long.jsonl")
    output = tmp_path / "long.html"
    result = write_report(POLICY, trace, output=output)
    assert result.returncode == 1, result.stderr
    assert output.stat().st_size < MAX_PAGE_BYTES
    data = read_page(output).data
    (trace,) = data["traces"]
    assert trace["steps"] == len(trace["tools"]) == 100_000
    assert trace["blocked"] > 99_000  # max_calls_edit_file_20 fails at every later edit: a worst case
    assert len(data["reasons"]) < 100_000


def test_10000_traces_make_a_page_under_50_mb(tmp_path):
    folder = many_traces(tmp_path / "runs")
    output = tmp_path / "many.html"
    result = write_report(POLICY, folder, output=output)
    assert result.returncode == 1, result.stderr
    assert output.stat().st_size < MAX_PAGE_BYTES
    page = read_page(output)
    assert page.counts["traces"] == len(page.data["traces"]) == 10_000
    assert page.counts["steps"] == 500_000 and page.counts["files"] == 100
