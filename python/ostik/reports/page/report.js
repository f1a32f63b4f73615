"use strict";
// The trace list and a trace's steps, built from the embedded data a page at a
// time. Names and reasons come from trace files: they only ever become text
// nodes or attribute values, never markup.
(function () {
  const TRACES_PER_PAGE = 25;
  const STEPS_PER_PAGE = 100;
  const OVERVIEW_CELLS = 400;
  const TOOL_CHECKS = 2; // rules[0] and rules[1]: the allow and deny lists

  const data = JSON.parse(document.getElementById("report-data").textContent);
  const traces = data.traces;
  const endChecked = new Set(data.endChecked);
  const failingCount = traces.reduce((n, t) => n + (t.passed ? 0 : 1), 0);

  const state = {
    filter: failingCount > 0 ? "failing" : "all",
    query: "",
    listPage: 0,
    shown: [],
    selected: -1,
    stepPage: 0,
    target: -1,
  };

  // --- small helpers -------------------------------------------------------------------------------

  function el(tag, attrs, ...children) {
    const node = document.createElement(tag);
    for (const [key, value] of Object.entries(attrs || {})) {
      if (value === null || value === undefined || value === false) continue;
      if (key === "class") node.className = value;
      else if (key === "text") node.textContent = value;
      else if (key === "hidden") node.hidden = true;
      else if (key === "disabled") node.disabled = true;
      else node.setAttribute(key, String(value));
    }
    for (const child of children) {
      if (child === null || child === undefined) continue;
      node.append(typeof child === "string" ? document.createTextNode(child) : child);
    }
    return node;
  }

  function num(n) { return n.toLocaleString("en-US"); }
  function plural(n, word) { return num(n) + " " + word + (n === 1 ? "" : "s"); }
  function label(trace) { return data.files[trace.file] + (trace.where ? ": " + trace.where : ""); }
  // The rules that failed a trace; a call that ran unjudged fails it under on_error: block.
  function blockingRules(trace) {
    const rules = trace.rules.map(ruleId);
    if (trace.unjudged && data.unjudgedFails) rules.push("on_error");
    return rules.join(", ");
  }
  function ruleId(index) { return data.rules[index][0]; }
  function reason(index) { return data.reasons[index]; }
  function mark(passed) {
    return el("span", { class: "sym", "aria-hidden": "true", text: passed ? "✓" : "✗" });
  }
  function verdictBadge(passed) {
    return el("span", { class: "chip " + (passed ? "pass" : "fail") }, mark(passed), passed ? " PASS" : " FAIL");
  }

  // A trace's failures by step, worked out once when it is first shown.
  const details = new Map();
  function detailOf(index) {
    let detail = details.get(index);
    if (detail) return detail;
    const trace = traces[index];
    const byStep = new Map();
    const blockedSteps = [];
    const fail = trace.fail;
    for (let i = 0; i < fail.length; i += 3) {
      const step = fail[i];
      let list = byStep.get(step);
      if (!list) {
        list = [];
        byStep.set(step, list);
        blockedSteps.push(step);
      }
      list.push([fail[i + 1], fail[i + 2]]);
    }
    const end = [];
    for (let i = 0; i < trace.end.length; i += 2) end.push([trace.end[i], trace.end[i + 1]]);
    // The calls that are no steps, by the step each came before: refused by the
    // live guard (rule id and reason are texts), or run unjudged.
    const offTrace = new Map();
    const addOffTrace = (before, call) => {
      const list = offTrace.get(before);
      if (list) list.push(call); else offTrace.set(before, [call]);
    };
    const refused = trace.refused || [];
    for (let i = 0; i < refused.length; i += 4) {
      addOffTrace(refused[i], { kind: "refused", tool: refused[i + 1], text: reason(refused[i + 2]) + ": " + reason(refused[i + 3]) });
    }
    const unjudged = trace.unjudged || [];
    for (let i = 0; i < unjudged.length; i += 3) {
      addOffTrace(unjudged[i], { kind: "unjudged", tool: unjudged[i + 1], text: reason(unjudged[i + 2]) });
    }
    detail = { byStep, blockedSteps, end, offTrace, refused: refused.length / 4, unjudged: unjudged.length / 3 };
    details.set(index, detail);
    return detail;
  }

  // The first blocked step at or after `step`, or -1.
  function nextBlocked(detail, step) {
    const list = detail.blockedSteps;
    let lo = 0, hi = list.length;
    while (lo < hi) {
      const mid = (lo + hi) >> 1;
      if (list[mid] < step) lo = mid + 1; else hi = mid;
    }
    return lo < list.length ? list[lo] : -1;
  }

  function countBlocked(detail, from, to) {
    let count = 0;
    for (let s = nextBlocked(detail, from); s !== -1 && s < to; s = nextBlocked(detail, s + 1)) count++;
    return count;
  }

  function stepText(trace, detail, step) {
    const tool = data.tools[trace.tools[step]];
    const failures = detail.byStep.get(step);
    if (!failures) return "step " + step + " · " + tool + " · allowed";
    const lines = ["step " + step + " · " + tool + " · blocked by " + ruleId(failures[0][0]) + ": " + reason(failures[0][1])];
    for (const [rule, why] of failures.slice(1)) lines.push("also fails " + ruleId(rule) + ": " + reason(why));
    return lines.join("\n");
  }

  // --- the trace list ------------------------------------------------------------------------------

  const browser = document.getElementById("trace-browser");
  const detailBox = document.getElementById("trace-detail");

  function applyFilter() {
    const query = state.query.toLowerCase();
    state.shown = [];
    for (let i = 0; i < traces.length; i++) {
      const trace = traces[i];
      if (state.filter === "failing" && trace.passed) continue;
      if (state.filter === "passing" && !trace.passed) continue;
      if (query && !label(trace).toLowerCase().includes(query)) continue;
      state.shown.push(i);
    }
    const pages = Math.max(1, Math.ceil(state.shown.length / TRACES_PER_PAGE));
    state.listPage = Math.min(state.listPage, pages - 1);
  }

  function filterChoice(value, text, count) {
    const input = el("input", { type: "radio", name: "trace-filter", value: value, id: "filter-" + value });
    input.checked = state.filter === value;
    input.addEventListener("change", () => {
      state.filter = value;
      state.listPage = 0;
      renderList();
    });
    return el("label", { for: "filter-" + value }, input, " " + text + " (" + num(count) + ")");
  }

  function pager(page, pages, go, what) {
    const button = (name, text, target, disabled) => {
      const node = el("button", { type: "button", class: name, disabled: disabled, "aria-label": name + " page of " + what }, text);
      node.addEventListener("click", () => go(target));
      return node;
    };
    return el("div", { class: "pager" },
      button("first", "« First", 0, page <= 0), button("previous", "◀ Previous", page - 1, page <= 0),
      el("span", { class: "page-of", text: "page " + num(page + 1) + " of " + num(pages) }),
      button("next", "Next ▶", page + 1, page >= pages - 1), button("last", "Last »", pages - 1, page >= pages - 1));
  }

  let searchBox = null;
  function renderList() {
    applyFilter();
    const total = state.shown.length;
    const pages = Math.max(1, Math.ceil(total / TRACES_PER_PAGE));
    const first = state.listPage * TRACES_PER_PAGE;
    const onPage = state.shown.slice(first, first + TRACES_PER_PAGE);

    const filters = el("fieldset", {}, el("legend", { class: "visually-hidden", text: "show" }),
      filterChoice("failing", "Failing only", failingCount),
      filterChoice("passing", "Passing only", traces.length - failingCount),
      filterChoice("all", "All", traces.length));
    if (!searchBox) {
      searchBox = el("input", { type: "search", placeholder: "file name contains…", "aria-label": "show traces whose file name contains" });
      searchBox.addEventListener("input", () => {
        state.query = searchBox.value;
        state.listPage = 0;
        renderList();
        searchBox.focus();
      });
    }
    const go = (page) => { state.listPage = page; renderList(); };
    const range = total ? "traces " + num(first + 1) + "–" + num(first + onPage.length) + " of " + num(total) : "no traces match";
    const controls = el("div", { class: "controls" }, filters, searchBox,
      el("span", { class: "range", text: range }), pager(state.listPage, pages, go, "traces"));

    const body = el("tbody");
    for (const index of onPage) {
      const trace = traces[index];
      const row = el("tr", {
        class: (trace.passed ? "pass" : "fail") + (index === state.selected ? " selected" : ""),
        "data-trace": index, tabindex: 0, "aria-label": (trace.passed ? "passed: " : "failed: ") + label(trace),
      },
        el("td", { class: "mark" }, mark(trace.passed), trace.passed ? " PASS" : " FAIL"),
        el("td", { class: "label" }, el("code", { text: label(trace) })),
        el("td", { class: "num", text: num(trace.steps) }),
        el("td", { class: "num", text: num(trace.blocked) }),
        el("td", { class: "num", text: trace.first === null ? "–" : num(trace.first) }),
        el("td", {}, el("code", { text: blockingRules(trace) })));
      const open = () => select(index, -1, true);
      row.addEventListener("click", open);
      row.addEventListener("keydown", (event) => {
        if (event.key === "Enter" || event.key === " ") { event.preventDefault(); open(); }
      });
      body.append(row);
    }
    const head = el("thead", {}, el("tr", {},
      el("th", { scope: "col", text: "result" }), el("th", { scope: "col", text: "trace" }),
      el("th", { scope: "col", class: "num", text: "steps" }), el("th", { scope: "col", class: "num", text: "blocked" }),
      el("th", { scope: "col", class: "num", text: "first blocked" }), el("th", { scope: "col", text: "blocking rules" })));
    browser.replaceChildren(controls, el("table", { class: "trace-list" }, head, body));
  }

  // --- one trace -----------------------------------------------------------------------------------

  function select(index, step, scroll) {
    if (index < 0 || index >= traces.length) return;
    const trace = traces[index];
    state.selected = index;
    state.target = step >= 0 && step < trace.steps ? step : -1;
    state.stepPage = state.target >= 0 ? Math.floor(state.target / STEPS_PER_PAGE)
      : trace.first !== null ? Math.floor(trace.first / STEPS_PER_PAGE) : 0;
    const hash = "#trace=" + index + (state.target >= 0 ? "&step=" + state.target : "");
    if (location.hash !== hash) {
      try { history.replaceState(null, "", hash); } catch (error) { /* a browser that keeps file: URLs fixed */ }
    }
    for (const row of browser.querySelectorAll("tr.selected")) row.classList.remove("selected");
    const row = browser.querySelector('tr[data-trace="' + index + '"]');
    if (row) row.classList.add("selected");
    renderDetail();
    if (scroll) detailBox.scrollIntoView({ block: "start" });
  }

  function renderDetail() {
    const index = state.selected;
    const trace = traces[index];
    const detail = detailOf(index);
    const parts = [];
    parts.push(el("h2", { id: "trace-heading" }, verdictBadge(trace.passed), " ", el("code", { text: label(trace) })));
    const facts = [plural(trace.steps, "step")];
    if (trace.blocked) facts.push(num(trace.blocked) + " blocked (first at step " + num(trace.first) + ")");
    else facts.push("none blocked");
    if (detail.end.length) facts.push(plural(detail.end.length, "end-of-trace check") + " failed");
    if (detail.refused) facts.push(plural(detail.refused, "refused attempt") + " (refused live; never ran)");
    if (detail.unjudged) facts.push(plural(detail.unjudged, "call") + " ran unjudged");
    parts.push(el("p", { class: "facts", text: facts.join("; ") + "." }));
    const blocking = blockingRules(trace);
    if (blocking) {
      parts.push(el("p", { class: "facts" }, "Blocking rules: ", el("code", { text: blocking })));
    }

    parts.push(el("h3", { text: "End of trace" }));
    if (detail.end.length) {
      const list = el("ul", { class: "end-failures" });
      for (const [rule, why] of detail.end) {
        list.append(el("li", { class: "fail", "data-rule": ruleId(rule) }, mark(false), " FAIL ", el("code", { text: ruleId(rule) }), ": " + reason(why)));
      }
      parts.push(list);
    } else {
      parts.push(el("p", { class: "pass" }, mark(true), " every end-of-trace check passed"));
    }

    parts.push(el("h3", { text: "Steps" }));
    if (trace.steps === 0) {
      parts.push(el("p", { class: "none", text: "This trace has no steps." }));
      if (detail.offTrace.size) parts.push(stepTable(trace, detail, 0, 0));
    } else {
      parts.push(stepControls(trace, detail));
      const overview = stepOverview(trace, detail);
      if (overview) parts.push(overview);
    }
    const from = state.stepPage * STEPS_PER_PAGE;
    const to = Math.min(trace.steps, from + STEPS_PER_PAGE);
    if (trace.steps) {
      parts.push(timeline(trace, detail, from, to));
      parts.push(stepTable(trace, detail, from, to));
    }
    parts.push(el("h3", { text: "Rules at each step" }));
    parts.push(el("p", { class: "note", text: "✓ the rule passed at that step, ✗ it failed (and blocked the step); the last column is the end of the trace." }));
    parts.push(ruleGrid(trace, detail, from, to));
    detailBox.replaceChildren(...parts);
    detailBox.hidden = false;
  }

  function goToStepPage(page) {
    state.stepPage = page;
    state.target = -1;
    renderDetail();
  }

  function goToStep(step) {
    select(state.selected, step, false);
    const node = detailBox.querySelector('.timeline [data-step="' + step + '"]');
    if (node) node.focus();
  }

  function stepControls(trace, detail) {
    const pages = Math.ceil(trace.steps / STEPS_PER_PAGE);
    const from = state.stepPage * STEPS_PER_PAGE;
    const to = Math.min(trace.steps, from + STEPS_PER_PAGE);
    const controls = el("div", { class: "controls" },
      el("span", { class: "range", text: "steps " + num(from) + "–" + num(to - 1) + " of " + num(trace.steps) }),
      pager(state.stepPage, pages, goToStepPage, "steps"));
    const after = state.target >= 0 ? state.target + 1 : from;
    const next = nextBlocked(detail, after);
    const nextButton = el("button", { type: "button", class: "next-blocked", disabled: next === -1 },
      next === -1 ? "no blocked step after these" : "Next blocked step (" + num(next) + ") ▶▶");
    nextButton.addEventListener("click", () => goToStep(next));
    const input = el("input", { type: "number", min: 0, max: trace.steps - 1, "aria-label": "go to step", placeholder: "step" });
    const form = el("form", { class: "goto" }, input, " ", el("button", { type: "submit" }, "Go to step"));
    form.addEventListener("submit", (event) => {
      event.preventDefault();
      const step = Number.parseInt(input.value, 10);
      if (Number.isInteger(step) && step >= 0 && step < trace.steps) goToStep(step);
    });
    controls.append(nextButton, form);
    return controls;
  }

  // Where a long trace's blocked steps are: one cell per page (or run of pages) of steps.
  function stepOverview(trace, detail) {
    const pages = Math.ceil(trace.steps / STEPS_PER_PAGE);
    if (pages <= 1) return null;
    const perCell = Math.ceil(pages / OVERVIEW_CELLS);
    const strip = el("div", { class: "overview", role: "group", "aria-label": "where the blocked steps are; each cell a range of steps" });
    for (let page = 0; page < pages; page += perCell) {
      const from = page * STEPS_PER_PAGE;
      const to = Math.min(trace.steps, (page + perCell) * STEPS_PER_PAGE);
      const blocked = countBlocked(detail, from, to);
      const text = "steps " + num(from) + "–" + num(to - 1) + ": " + (blocked ? plural(blocked, "blocked step") : "none blocked");
      const current = state.stepPage >= page && state.stepPage < page + perCell;
      const cell = el("button", { type: "button", class: (blocked ? "fail" : "pass") + (current ? " current" : ""), title: text, "aria-label": text });
      cell.addEventListener("click", () => goToStepPage(page));
      strip.append(cell);
    }
    return strip;
  }

  function timeline(trace, detail, from, to) {
    const list = el("ol", { class: "timeline", start: from, "aria-label": "steps " + from + " to " + (to - 1) });
    for (let step = from; step < to; step++) {
      const blocked = detail.byStep.has(step);
      const tool = data.tools[trace.tools[step]];
      list.append(el("li", {
        class: "step " + (blocked ? "fail" : "pass") + (step === state.target ? " target" : ""),
        "data-step": step, "data-verdict": blocked ? "blocked" : "allowed", tabindex: -1,
        title: stepText(trace, detail, step),
        "aria-label": "step " + step + ", " + tool + ", " + (blocked ? "blocked" : "allowed"),
      }, el("span", { class: "sym", "aria-hidden": "true", text: blocked ? "✗" : "✓" }), el("span", { class: "idx", text: String(step) })));
    }
    return list;
  }

  function offTraceRows(body, detail, before) {
    for (const call of detail.offTrace.get(before) || []) {
      const refused = call.kind === "refused";
      body.append(el("tr", { class: call.kind, "data-before": before },
        el("td", { class: "num", text: "–" }),
        el("td", {}, el("code", { text: data.tools[call.tool] })),
        el("td", { class: "verdict-cell" }, el("span", { class: "sym", "aria-hidden": "true", text: "⚠" }), refused ? " refused live" : " ran unjudged"),
        el("td", { class: "why", text: call.text })));
    }
  }

  function stepTable(trace, detail, from, to) {
    const body = el("tbody");
    for (let step = from; step < to; step++) {
      offTraceRows(body, detail, step);
      const failures = detail.byStep.get(step);
      const why = el("td", { class: "why" });
      if (failures) {
        why.append(el("code", { text: ruleId(failures[0][0]) }), ": " + reason(failures[0][1]));
        for (const [rule, text] of failures.slice(1)) {
          why.append(el("br"), el("span", { class: "also", text: "also fails " }), el("code", { text: ruleId(rule) }), ": " + reason(text));
        }
      }
      body.append(el("tr", { class: (failures ? "fail" : "pass") + (step === state.target ? " target" : ""), "data-step": step },
        el("td", { class: "num", text: String(step) }),
        el("td", {}, el("code", { text: data.tools[trace.tools[step]] })),
        el("td", { class: "verdict-cell" }, mark(!failures), failures ? " blocked" : " allowed"),
        why));
    }
    // The calls after the last step, on the last page.
    if (to >= trace.steps) {
      for (const before of detail.offTrace.keys()) if (before >= trace.steps) offTraceRows(body, detail, before);
    }
    const head = el("thead", {}, el("tr", {},
      el("th", { scope: "col", class: "num", text: "step" }), el("th", { scope: "col", text: "tool" }),
      el("th", { scope: "col", text: "verdict" }), el("th", { scope: "col", text: "blocking rule and reason" })));
    return el("table", { class: "step-table" }, head, body);
  }

  function gridCell(failed, title, extraClass) {
    return el("td", { class: (failed ? "fail" : "pass") + (extraClass || ""), title: title, "data-result": failed ? "fail" : "pass" }, failed ? "✗" : "✓");
  }

  function ruleGrid(trace, detail, from, to) {
    const last = to >= trace.steps;
    const headRow = el("tr", {}, el("th", { scope: "col", text: "rule \\ step" }));
    for (let step = from; step < to; step++) headRow.append(el("th", { scope: "col", text: String(step) }));
    if (last) headRow.append(el("th", { scope: "col", class: "end", text: "end" }));
    const body = el("tbody");
    const endFailures = new Map(detail.end.map(([rule, why]) => [rule, why]));

    // The allow and deny lists as one row: at most one of them fails a step.
    const checkRow = el("tr", { "data-rule": "allow/deny list" }, el("th", { scope: "row" }, el("code", { text: "allow/deny list" })));
    for (let step = from; step < to; step++) {
      const failure = (detail.byStep.get(step) || []).find(([rule]) => rule < TOOL_CHECKS);
      const title = "step " + step + " · " + data.tools[trace.tools[step]] + ": " + (failure ? ruleId(failure[0]) + ": " + reason(failure[1]) : "tool list passed");
      checkRow.append(gridCell(Boolean(failure), title));
    }
    if (last) checkRow.append(el("td", { class: "na end", title: "not checked at the end of a trace", text: "·" }));
    body.append(checkRow);

    for (let rule = TOOL_CHECKS; rule < data.rules.length; rule++) {
      const id = ruleId(rule);
      const row = el("tr", { "data-rule": id }, el("th", { scope: "row", title: data.rules[rule][1] + " rule" }, el("code", { text: id })));
      for (let step = from; step < to; step++) {
        const failure = (detail.byStep.get(step) || []).find(([r]) => r === rule);
        const title = "step " + step + " · " + data.tools[trace.tools[step]] + ": " + id + (failure ? ": " + reason(failure[1]) : " passed");
        row.append(gridCell(Boolean(failure), title));
      }
      if (last) {
        if (endFailures.has(rule)) row.append(gridCell(true, "end of trace: " + id + ": " + reason(endFailures.get(rule)), " end"));
        else if (endChecked.has(rule)) row.append(gridCell(false, "end of trace: " + id + " passed", " end"));
        else row.append(el("td", { class: "na end", title: "not checked at the end of a trace", text: "·" }));
      }
      body.append(row);
    }
    return el("div", { class: "grid-wrap" }, el("table", { class: "grid", "aria-label": "rules by step" }, el("thead", {}, headRow), body));
  }

  // --- start ---------------------------------------------------------------------------------------

  function fromHash() {
    const params = new URLSearchParams(location.hash.slice(1));
    const index = Number.parseInt(params.get("trace") || "", 10);
    const step = Number.parseInt(params.get("step") || "", 10);
    if (!Number.isInteger(index) || index < 0 || index >= traces.length) return false;
    const trace = traces[index];
    if (state.filter === "failing" && trace.passed) state.filter = "all";
    applyFilter();
    const position = state.shown.indexOf(index);
    if (position >= 0) state.listPage = Math.floor(position / TRACES_PER_PAGE);
    renderList();
    select(index, Number.isInteger(step) ? step : -1, false);
    return true;
  }

  window.addEventListener("hashchange", fromHash);
  if (!fromHash()) {
    renderList();
    if (traces.length) select(failingCount ? traces.findIndex((t) => !t.passed) : 0, -1, false);
  }
})();
