"""Helpers shared by the report tests: writing pages with the command line, reading them back, big inputs."""

import json
import os
import subprocess
import sys
from html.parser import HTMLParser
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
POLICY = str(ROOT / "examples" / "policy.yaml")
TRACES = ROOT / "examples" / "traces"
TOOLS = ["read_file", "search_code", "edit_file", "run_tests", "git_diff", "git_commit", "run_exec", "force_push"]


def write_report(*args, output, input=None):
    """Runs `ostik report ... -o output`; returns the finished process."""
    env = {k: v for k, v in os.environ.items() if k != "NO_COLOR"}
    return subprocess.run([sys.executable, "-m", "ostik", "report", *map(str, args), "-o", str(output)],
                          input=input, capture_output=True, text=True, env=env, timeout=300)


class Page(HTMLParser):
    """What a browser would see in the page's markup, read with the standard library."""

    def __init__(self, text):
        super().__init__(convert_charrefs=True)
        self.tags = []  # (tag, attributes) in document order
        self.scripts = []  # (attributes, text)
        self.styles = []
        self.counts = {}  # the summary's figures by label
        self._open = None
        self._count = None
        self._text = []
        self.texts = []  # text outside scripts and styles
        self.feed(text)
        self.close()

    def handle_starttag(self, tag, attrs):
        attributes = dict(attrs)
        self.tags.append((tag, attributes))
        if tag in ("script", "style"):
            self._open = (tag, attributes)
            self._text = []
        if "data-count" in attributes:
            self._count = attributes["data-count"]

    def handle_endtag(self, tag):
        if self._open and tag == self._open[0]:
            text = "".join(self._text)
            (self.scripts.append((self._open[1], text)) if tag == "script" else self.styles.append(text))
            self._open = None

    def handle_data(self, data):
        if self._open:
            self._text.append(data)
            return
        self.texts.append(data)
        if self._count and data.strip() and self.tags[-1][0] == "dd":
            self.counts[self._count] = int(data.replace(",", ""))
            self._count = None

    @property
    def data(self):
        """The embedded report data."""
        (text,) = [text for attributes, text in self.scripts if attributes.get("type") == "application/json"]
        return json.loads(text)

    def text(self):
        return "".join(self.texts)


def read_page(path):
    return Page(Path(path).read_text(encoding="utf-8"))


def decoded_traces(data):
    """The embedded traces with every index resolved: what the page's script shows."""
    rules, reasons, tools = [rule[0] for rule in data["rules"]], data["reasons"], data["tools"]
    result = []
    for trace in data["traces"]:
        failures = {}
        fail = trace["fail"]
        for i in range(0, len(fail), 3):
            failures.setdefault(fail[i], []).append((rules[fail[i + 1]], reasons[fail[i + 2]]))
        end = trace["end"]
        result.append({
            "label": data["files"][trace["file"]] + (f": {trace['where']}" if trace["where"] else ""),
            "passed": trace["passed"],
            "steps": trace["steps"],
            "blocked": trace["blocked"],
            "first": trace["first"],
            "rules": [rules[i] for i in trace["rules"]],
            "tools": [tools[i] for i in trace["tools"]],
            "failures": failures,
            "end": [(rules[end[i]], reasons[end[i + 1]]) for i in range(0, len(end), 2)],
        })
    return result


def long_trace(path, steps=100_000, blocked_every=1000):
    """One trace of `steps` steps, one step per line, where every `blocked_every`-th step calls a denied tool."""
    cycle = ['{"tool":"read_file","args":{"path":"src/app.py"}}', '{"tool":"edit_file","args":{"path":"a"}}',
             '{"tool":"run_tests","args":{"target":"t"}}', '{"tool":"git_diff"}']
    lines = ['{"tool":"force_push"}' if i % blocked_every == blocked_every - 1 else cycle[i % 4]
             for i in range(steps)]
    Path(path).write_text("\n".join(lines) + "\n")
    return str(path)


def many_traces(folder, traces=10_000, files=100, steps=50):
    """`traces` traces of `steps` steps in `files` files of whole-trace lines, in nested folders."""
    per_file = traces // files
    for number in range(files):
        lines = []
        for t in range(per_file):
            seed = number * per_file + t
            calls = [TOOLS[(seed + i * (seed % 7 + 1)) % len(TOOLS)] for i in range(steps)]
            lines.append("[" + ",".join(f'{{"tool":"{tool}"}}' for tool in calls) + "]")
        sub = Path(folder) / f"batch{number // 10}"
        sub.mkdir(parents=True, exist_ok=True)
        (sub / f"run{number:03}.jsonl").write_text("\n".join(lines) + "\n")
    return str(folder)
