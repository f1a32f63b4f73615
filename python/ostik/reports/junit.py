"""JUnit XML for `ostik test --junit-xml` and `ostik diff --junit-xml`: the results as CI systems read test results.

One <testsuite> per input file, named by its path; one <testcase> per trace,
its classname the file and its name the trace's place in the file ("line 3",
a telemetry trace id, or "trace" for a file of one trace); a failing trace
has a <failure> whose message is its first violation and whose text lists
every blocking rule with its reason, one per line. A file that could not be
used is a suite of one test case with an <error>.

For `ostik diff`, one <testsuite> per input file with changed traces, one
<testcase> per changed trace: a trace that passed under the old policy and
fails under the new is a <failure> whose text lists its changes; the other
changes pass, their changes in <system-out>.

Every text goes through `xml_text` first: XML 1.0 cannot carry control
characters at all, not even as character references, and a tool name may
hold any; they arrive as visible escapes ("\\u001b"), as on the terminal.
"""

from __future__ import annotations

import xml.etree.ElementTree as ET
from collections.abc import Sequence
from typing import TYPE_CHECKING

from ostik.reports.diff_text import TracePlace, outcome_change
from ostik.reports.escaping import xml_text
from ostik.reports.text import violation_text
from ostik.runs.judging import FileResult, TraceResult

if TYPE_CHECKING:
    from ostik._engine import _ChangedTrace

__all__ = ["DiffFile", "diff_junit_tree", "junit_tree", "write_diff_junit_xml", "write_junit_xml"]

# A file of `ostik diff`: its path, why it could not be used (or None), and its changed traces,
# each with its text as the diff lists it (``DiffAccumulator.listing``, without colours).
DiffFile = tuple[str, str | None, list[tuple[TracePlace, "_ChangedTrace", str]]]


def _seconds(value: float) -> str:
    return f"{value:.3f}"


def _case_name(trace: TraceResult) -> str:
    if trace.place is not None:
        return trace.place
    return "trace" if trace.line is None else f"line {trace.line}"


def _testcase(suite: ET.Element, trace: TraceResult) -> None:
    file = xml_text(trace.file)
    case = ET.SubElement(suite, "testcase", classname=file, name=xml_text(_case_name(trace)), file=file)
    first = trace.violations[0] if trace.violations else None
    line = first.line if first is not None and first.line is not None else trace.line
    if line is not None:
        case.set("line", str(line))
    if not trace.passed and first is not None:
        failure = ET.SubElement(case, "failure", message=xml_text(violation_text(first)), type=xml_text(first.rule))
        failure.text = "\n".join(xml_text(violation_text(v)) for v in trace.violations)


def _error_suite(root: ET.Element, result: FileResult) -> None:
    _unusable_suite(root, result.path, result.error or "", result.seconds)


def _unusable_suite(root: ET.Element, path: str, message: str, seconds: float) -> None:
    name = xml_text(path)
    suite = ET.SubElement(root, "testsuite", name=name, tests="1", failures="0", errors="1", skipped="0",
                          time=_seconds(seconds))
    case = ET.SubElement(suite, "testcase", classname=name, name="read", file=name)
    error = ET.SubElement(case, "error", message=xml_text(message), type="unusable input")
    error.text = xml_text(message)


def junit_tree(results: Sequence[FileResult], seconds: float) -> ET.ElementTree:
    tests = sum(len(r.traces) for r in results) + sum(1 for r in results if r.error is not None)
    failures = sum(1 for r in results for t in r.traces if not t.passed)
    errors = sum(1 for r in results if r.error is not None)
    root = ET.Element("testsuites", name="ostik test", tests=str(tests), failures=str(failures),
                      errors=str(errors), time=_seconds(seconds))
    for result in results:
        if result.error is not None:
            _error_suite(root, result)
            continue
        suite = ET.SubElement(root, "testsuite", name=xml_text(result.path), tests=str(len(result.traces)),
                              failures=str(sum(1 for t in result.traces if not t.passed)), errors="0",
                              skipped="0", time=_seconds(result.seconds))
        for trace in result.traces:
            _testcase(suite, trace)
    tree = ET.ElementTree(root)
    ET.indent(tree)
    return tree


def write_junit_xml(path: str, results: Sequence[FileResult], seconds: float) -> None:
    """Writes the report to `path`; raises OSError when it cannot."""
    junit_tree(results, seconds).write(path, encoding="utf-8", xml_declaration=True)


def _diff_case_name(place: TracePlace) -> str:
    if place.place is not None:
        return place.place
    return "trace" if place.line is None else f"line {place.line}"


def diff_junit_tree(files: Sequence[DiffFile], seconds: float) -> ET.ElementTree:
    tests = sum(len(changed) for _, _, changed in files) + sum(1 for _, error, _ in files if error is not None)
    failures = sum(1 for _, _, changed in files for _, t, _ in changed if t["old_passed"] and not t["new_passed"])
    errors = sum(1 for _, error, _ in files if error is not None)
    root = ET.Element("testsuites", name="ostik diff", tests=str(tests), failures=str(failures),
                      errors=str(errors), time=_seconds(seconds))
    for path, error, changed in files:
        if error is not None:
            _unusable_suite(root, path, error, 0.0)
            continue
        if not changed:
            continue
        newly_failing = sum(1 for _, t, _ in changed if t["old_passed"] and not t["new_passed"])
        suite = ET.SubElement(root, "testsuite", name=xml_text(path), tests=str(len(changed)),
                              failures=str(newly_failing), errors="0", skipped="0", time="0.000")
        for place, trace, listed in changed:
            file = xml_text(place.file)
            case = ET.SubElement(suite, "testcase", classname=file, name=xml_text(_diff_case_name(place)),
                                 file=file)
            if place.line is not None:
                case.set("line", str(place.line))
            text = "\n".join(xml_text(line) for line in listed.split("\n"))
            if trace["old_passed"] and not trace["new_passed"]:
                first = next((c["new"] for c in trace["changes"] if c["new"] is not None), None)
                rule = first["rule_id"] if first else trace["new_end_failures"][0]["rule_id"]
                failure = ET.SubElement(case, "failure", message=xml_text(f"newly fails: {outcome_change(trace)}"),
                                        type=xml_text(rule))
                failure.text = text
            else:
                ET.SubElement(case, "system-out").text = text
    tree = ET.ElementTree(root)
    ET.indent(tree)
    return tree


def write_diff_junit_xml(path: str, files: Sequence[DiffFile], seconds: float) -> None:
    """Writes the diff's report to `path`; raises OSError when it cannot."""
    diff_junit_tree(files, seconds).write(path, encoding="utf-8", xml_declaration=True)
