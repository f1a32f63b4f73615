"""JUnit XML for `ostik test --junit-xml`: the results as CI systems read test results.

One <testsuite> per input file, named by its path; one <testcase> per trace,
its classname the file and its name the trace's place in the file ("line 3",
a telemetry trace id, or "trace" for a file of one trace); a failing trace
has a <failure> whose message is its first violation and whose text lists
every blocking rule with its reason, one per line. A file that could not be
used is a suite of one test case with an <error>.

Every text goes through `xml_text` first: XML 1.0 cannot carry control
characters at all, not even as character references, and a tool name may
hold any; they arrive as visible escapes ("\\u001b"), as on the terminal.
"""

from __future__ import annotations

import xml.etree.ElementTree as ET
from collections.abc import Sequence

from ostik.reports.escaping import xml_text
from ostik.runs.judging import FileResult, TraceResult
from ostik.reports.text import violation_text

__all__ = ["junit_tree", "write_junit_xml"]


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
    name = xml_text(result.path)
    suite = ET.SubElement(root, "testsuite", name=name, tests="1", failures="0", errors="1", skipped="0",
                          time=_seconds(result.seconds))
    case = ET.SubElement(suite, "testcase", classname=name, name="read", file=name)
    error = ET.SubElement(case, "error", message=xml_text(result.error or ""), type="unusable input")
    error.text = xml_text(result.error or "")


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
