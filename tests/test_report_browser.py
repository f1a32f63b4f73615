"""`ostik report` pages in a real headless Chromium: what people see, checked through the DOM.

scripts/test.sh installs chromium (scripts/test-packages.txt), so these run in CI.
"""

import json
import struct
from pathlib import Path

import pytest
from chromium_pipe import Chromium, find_chromium
from report_pages import POLICY, TRACES, decoded_traces, long_trace, many_traces, read_page, write_report

import ostik

CHROMIUM = find_chromium()
pytestmark = pytest.mark.skipif(
    CHROMIUM is None, reason="chromium is not installed (bash scripts/install_system_packages.sh "
                             "scripts/test-packages.txt installs it; scripts/test.sh does)")

WIDTH, HEIGHT = 1280, 1600


@pytest.fixture(scope="module")
def browser():
    chromium = Chromium(CHROMIUM, WIDTH, HEIGHT)
    try:
        chromium.open_page()
        yield chromium
    finally:
        chromium.close()


@pytest.fixture(scope="module")
def bundled(tmp_path_factory):
    output = tmp_path_factory.mktemp("page") / "report.html"
    assert write_report(POLICY, TRACES, output=output).returncode == 1
    return output, decoded_traces(read_page(output).data)


def show(browser, page, fragment=""):
    browser.navigate("about:blank")  # so that the page loads afresh even when only its fragment changes
    browser.events.clear()
    browser.navigate(Path(page).as_uri() + fragment)
    errors = browser.event_params("Runtime.exceptionThrown") + [
        entry for entry in browser.event_params("Log.entryAdded") if entry["entry"]["level"] == "error"]
    assert not errors, errors


def steps_shown(browser):
    """Every step of the timeline and of the step table: {step: (timeline verdict, classes, symbol, title, row verdict)}."""
    return {item[0]: tuple(item[1:]) for item in browser.evaluate("""
        [...document.querySelectorAll('#trace-detail .timeline .step')].map(li => {
          const row = document.querySelector(`#trace-detail .step-table tr[data-step="${li.dataset.step}"]`);
          return [Number(li.dataset.step), li.dataset.verdict, li.className, li.querySelector('.sym').textContent,
                  li.title, row.querySelector('.verdict-cell').textContent.trim()];
        })""")}


def test_the_blocked_steps_of_a_trace_are_shown_as_failing(browser, bundled):
    page, traces = bundled
    index = next(i for i, t in enumerate(traces) if t["label"].endswith("blocked.jsonl"))
    show(browser, page, f"#trace={index}")
    judgement = ostik.Guard(ostik.Policy.from_file(POLICY)).judge(
        [json.loads(line) for line in (TRACES / "blocked.jsonl").read_text().splitlines()])
    shown = steps_shown(browser)
    assert sorted(shown) == list(range(judgement.steps))
    for decision in judgement.decisions:
        verdict, classes, symbol, title, row = shown[decision.step]
        if decision.allowed:
            assert (verdict, classes.split(), symbol, row) == ("allowed", ["step", "pass"], "✓", "✓ allowed")
        else:
            assert (verdict, classes.split(), symbol, row) == ("blocked", ["step", "fail"], "✗", "✗ blocked")
            assert f"blocked by {decision.blocked_by}: {decision.reason}" in title
    assert [s for s, v in shown.items() if v[0] == "blocked"] == [0, 2, 3, 4]

    # The colour says it too: the blocked steps are red, the allowed green.
    colours = browser.evaluate("""Object.fromEntries([...document.querySelectorAll('#trace-detail .timeline .step')]
        .map(li => [li.dataset.step, getComputedStyle(li).backgroundColor.match(/\\d+/g).map(Number)]))""")
    for step, (red, green, _) in ((int(s), rgb[:3]) for s, rgb in colours.items()):
        assert (red > green) == (step in (0, 2, 3, 4)), (step, colours[str(step)])


def test_the_rule_grid_fails_exactly_the_cells_of_the_failures(browser, bundled):
    page, traces = bundled
    index = next(i for i, t in enumerate(traces) if t["label"].endswith("blocked.jsonl"))
    show(browser, page, f"#trace={index}")
    cells = browser.evaluate("""[...document.querySelectorAll('#trace-detail .grid tbody tr')].map(tr =>
        [tr.dataset.rule, [...tr.querySelectorAll('td')].map(td => [td.dataset.result || 'none', td.textContent])])""")
    trace = traces[index]
    failing = {(rule, step) for step, failures in trace["failures"].items() for rule, _ in failures}
    failing = {("allow/deny list" if rule in ("allow_list", "deny_list") else rule, step) for rule, step in failing}
    end_failing = {rule for rule, _ in trace["end"]}
    data = read_page(page).data
    rules = ["allow/deny list", *(rule[0] for rule in data["rules"][2:])]
    end_checked = {data["rules"][i][0] for i in data["endChecked"]}
    assert [rule for rule, _ in cells] == rules
    for rule, row in cells:
        *steps, end = row
        assert [(result, text) for result, text in steps] == [
            ("fail", "✗") if (rule, step) in failing else ("pass", "✓") for step in range(trace["steps"])], rule
        if rule in end_failing:
            assert end == ["fail", "✗"]
        elif rule in end_checked:
            assert rule.startswith(("require_", "after_"))
            assert end == ["pass", "✓"]
        else:
            assert end == ["none", "·"]


def test_the_trace_list_filters_and_opens_traces(browser, bundled):
    page, traces = bundled
    show(browser, page)

    def rows():
        return [tuple(row) for row in browser.evaluate(
            "[...document.querySelectorAll('.trace-list tbody tr')].map(tr => "
            "[tr.className.split(' ')[0], tr.querySelector('.label').textContent])")]

    failing = [("fail", t["label"]) for t in traces if not t["passed"]]
    passing = [("pass", t["label"]) for t in traces if t["passed"]]
    assert rows() == failing  # failing only, when some trace fails
    # the first failing trace is open
    assert browser.evaluate("document.querySelector('#trace-heading code').textContent") == failing[0][1]
    browser.evaluate("document.getElementById('filter-all').click()")
    assert sorted(rows()) == sorted(failing + passing)
    browser.evaluate("document.getElementById('filter-passing').click()")
    assert rows() == passing
    browser.evaluate("document.getElementById('filter-all').click();"
                     "const box = document.querySelector('input[type=search]'); box.value = 'SESSIONS';"
                     "box.dispatchEvent(new Event('input'))")
    assert [label for _, label in rows()] == [t["label"] for t in traces if "sessions" in t["label"]]
    browser.evaluate("document.querySelectorAll('.trace-list tbody tr')[1].click()")
    assert browser.evaluate("document.querySelector('#trace-heading code').textContent") == rows()[1][1]
    assert browser.evaluate("location.hash") == f"#trace={[t['label'] for t in traces].index(rows()[1][1])}"


def test_the_page_asks_for_nothing_beyond_its_file(browser, bundled):
    page, _ = bundled
    show(browser, page)
    urls = [request["request"]["url"] for request in browser.event_params("Network.requestWillBeSent")]
    assert urls == [Path(page).as_uri()]


def test_names_from_trace_files_stay_text(browser, tmp_path, write_policy):
    names = ["</script><script>window.owned = 1</script>", "<img src=x onerror=\"window.owned = 2\">",
             "<b>bold</b>", "&lt;entity&gt;"]
    policy = write_policy("version: '1'\nname: \"<script>window.owned = 3</script>\"\n"
                          "tools: {deny: ['<b>bold</b>']}\n")
    trace = tmp_path / "t.jsonl"
    trace.write_text("".join(json.dumps({"tool": name}) + "\n" for name in names))
    page = tmp_path / "hostile.html"
    assert write_report(policy, trace, output=page).returncode == 1
    show(browser, page, "#trace=0")
    assert browser.evaluate("window.owned === undefined && document.querySelectorAll('img, b').length === 0")
    assert browser.evaluate("[...document.querySelectorAll('.step-table tbody td:nth-child(2)')]"
                            ".map(td => td.textContent)") == names
    assert browser.evaluate("document.title") == "ostik report: <script>window.owned = 3</script> 1"
    assert steps_shown(browser)[2][:2] == ("blocked", "step fail")


def test_refused_and_unjudged_calls_are_rows_above_the_step_they_came_before(browser, tmp_path, write_policy):
    policy = write_policy("version: '1'\ntools: {allow: [read, test]}\non_error: block\n"
                          "sequences: [{type: max_calls, tool: read, max: 1}]\n")
    trace = tmp_path / "session.jsonl"
    lines = [{"tool": "read"}, {"tool": "read", "refused": {"rule_id": "max_calls_read_1", "reason": "too many"}},
             {"tool": "test"}, {"tool": "<b>x</b>", "unjudged": "bad args"}]
    trace.write_text("".join(json.dumps(line) + "\n" for line in lines))
    page = tmp_path / "session.html"
    assert write_report(policy, trace, output=page).returncode == 1  # the unjudged call fails it under block
    show(browser, page, "#trace=0")
    rows = browser.evaluate("""[...document.querySelectorAll('#trace-detail .step-table tbody tr')].map(tr =>
        [tr.className, ...[...tr.cells].map(td => td.textContent.trim())])""")
    assert rows == [["pass", "0", "read", "✓ allowed", ""],
                    ["refused", "–", "read", "⚠ refused live", "max_calls_read_1: too many"],
                    ["pass", "1", "test", "✓ allowed", ""],
                    ["unjudged", "–", "<b>x</b>", "⚠ ran unjudged", "bad args"]]
    facts = browser.evaluate("[...document.querySelectorAll('#trace-detail .facts')].map(p => p.textContent)")
    assert facts == ["2 steps; none blocked; 1 refused attempt (refused live; never ran); 1 call ran unjudged.",
                     "Blocking rules: on_error"]
    assert sorted(steps_shown(browser)) == [0, 1]  # the timeline has the steps only


def test_names_that_would_spoof_their_cells_are_shown_escaped(browser, tmp_path, write_policy):
    # A right-to-left override reads "allowled" and scrambles the reason beside it; NUL, C1 and
    # zero-width characters would hide in the cell. Every cell the script builds shows them escaped.
    names = ["\u202edelwolla", "nul\x00here", "\u009b31mred", "zero\u200bwidth", "\u2066iso\u2069"]
    shown = ["\\u202edelwolla", "nul\\u0000here", "\\u009b31mred", "zero\\u200bwidth", "\\u2066iso\\u2069"]
    policy = write_policy("version: '1'\ntools: {deny: [\"\\u202edelwolla\"]}\n")
    trace = tmp_path / "t\u202e.jsonl"
    trace.write_text("".join(json.dumps({"tool": name}) + "\n" for name in names))
    page = tmp_path / "spoof.html"
    assert write_report(policy, trace, output=page).returncode == 1
    show(browser, page, "#trace=0")
    assert browser.evaluate("[...document.querySelectorAll('.step-table tbody td:nth-child(2)')]"
                            ".map(td => td.textContent)") == shown
    text = browser.evaluate("document.body.innerText")
    assert "Tool '\\u202edelwolla' is in deny list" in text
    assert not any(ch in text for ch in "\u202e\x00\u009b\u200b\u2066\u2069")
    assert str(trace.name).replace("\u202e", "\\u202e") in text


def test_a_100000_step_trace_is_shown_a_page_of_steps_at_a_time(browser, tmp_path, write_policy):
    # Only every 1000th step is blocked (a denied tool), so where they are is known.
    policy = write_policy("version: '1'\ntools: {deny: [force_push]}\n")
    page = tmp_path / "long.html"
    assert write_report(policy, long_trace(tmp_path / "long.jsonl"), output=page).returncode == 1
    show(browser, page, "#trace=0&step=54321")
    shown = steps_shown(browser)
    assert sorted(shown) == list(range(54300, 54400))
    assert all(v[0] == "allowed" for v in shown.values())  # the next blocked step is 54999
    assert "target" in shown[54321][1]
    assert browser.evaluate("document.querySelector('#trace-detail .page-of').textContent") == "page 544 of 1,000"
    # the overview marks the cells holding blocked steps, each cell a run of pages
    overview = browser.evaluate("[...document.querySelectorAll('.overview button')].map(b => b.className.split(' ')[0])")
    assert len(overview) == 334 and overview.count("fail") == 100
    browser.evaluate("document.querySelector('.next-blocked').click()")
    shown = steps_shown(browser)
    assert sorted(shown) == list(range(54900, 55000))
    assert [step for step, v in shown.items() if v[0] == "blocked"] == [54999]
    assert "target" in shown[54999][1]


def test_10000_traces_are_listed_a_page_at_a_time(browser, tmp_path):
    page = tmp_path / "many.html"
    assert write_report(POLICY, many_traces(tmp_path / "runs"), output=page).returncode == 1
    show(browser, page)
    browser.evaluate("document.getElementById('filter-all').click()")
    assert browser.evaluate("document.querySelectorAll('.trace-list tbody tr').length") == 25
    assert browser.evaluate("document.querySelector('#traces .page-of').textContent") == "page 1 of 400"
    browser.evaluate("document.querySelector('#traces button.last').click()")
    assert browser.evaluate("document.querySelector('#traces .range').textContent") == "traces 9,976–10,000 of 10,000"


def test_a_screenshot(browser, bundled, tmp_path):
    page, traces = bundled
    index = next(i for i, t in enumerate(traces) if t["label"].endswith("blocked.jsonl"))
    show(browser, page, f"#trace={index}")
    png = tmp_path / "report.png"
    browser.screenshot(png)
    header = png.read_bytes()[:24]
    assert header[:8] == b"\x89PNG\r\n\x1a\n"
    assert struct.unpack(">II", header[16:24]) == (WIDTH, HEIGHT)
