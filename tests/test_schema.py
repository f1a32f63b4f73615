"""`ostik schema`: a JSON Schema of the policy language that says yes exactly where the loader and
`ostik check --strict` do, for everything a schema can see."""

import contextlib
import io
import json
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

import jsonschema
import pytest
import yaml
from docs_text import ROOT, code, pages
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from ostik.cli import build_parser
from ostik.cli.common import EXIT_FAILED, EXIT_OK, EXIT_UNUSABLE, UnusableInput
from ostik.schema import policy_schema, schema_text

SCHEMA = policy_schema()
VALIDATOR = jsonschema.Draft202012Validator(SCHEMA)
ROOT_KEYS = set(SCHEMA["properties"])


def test_ostik_schema_prints_the_shipped_schema_and_it_is_a_draft_2020_12_schema():
    printed = subprocess.run([sys.executable, "-m", "ostik", "schema"], capture_output=True, text=True, timeout=120,
                             check=True).stdout
    assert printed == schema_text()
    assert json.loads(printed)["$schema"] == "https://json-schema.org/draft/2020-12/schema"
    jsonschema.Draft202012Validator.check_schema(json.loads(printed))


def described_places(node, where="#"):
    """(place, schema) of every key the schema defines: properties, and the named definitions (not the
    conditions that only tell which definition applies)."""
    if isinstance(node, dict):
        for key in ("properties", "$defs"):
            for name, sub in node.get(key, {}).items():
                yield f"{where}/{key}/{name}", sub
        for key, sub in node.items():
            if key not in ("if", "not"):
                yield from described_places(sub, f"{where}/{key}")
    elif isinstance(node, list):
        for i, sub in enumerate(node):
            yield from described_places(sub, f"{where}/{i}")


def test_every_key_and_definition_has_a_description():
    places = list(described_places(SCHEMA))
    assert len(places) > 60
    assert [place for place, sub in places if not sub.get("description")] == []
    assert SCHEMA["properties"].keys() == {"version", "name", "metadata", "tools", "sequences", "aliases",
                                           "on_error", "ask", "limits", "labels", "taint", "flows"}


# ---- the policies the project shows ----------------------------------------


class Yaml12Loader(yaml.SafeLoader):
    """PyYAML's safe loader reading scalars closer to YAML 1.2, as ostik and the editors do: a date is
    text, not a timestamp."""


Yaml12Loader.yaml_implicit_resolvers = {
    first: [(tag, regexp) for tag, regexp in resolvers if tag != "tag:yaml.org,2002:timestamp"]
    for first, resolvers in yaml.SafeLoader.yaml_implicit_resolvers.items()}


def shown_policies():
    """(where, text) of examples/*.yaml and of every YAML block of the docs that is a policy (its keys
    are root keys; a block without `version` is a part of one, completed with it)."""
    found = [(path.relative_to(ROOT).as_posix(), path.read_text()) for path in sorted((ROOT / "examples").rglob("*.yaml"))]
    for name, text in pages():
        for i, body in enumerate(code(text, "yaml")):
            data = yaml.load(body, Yaml12Loader)
            if isinstance(data, dict) and set(data) <= ROOT_KEYS:
                found.append((f"{name}[{i}]", body if "version" in data else "version: '1'\n" + body))
    return found


def test_the_docs_show_policies_of_every_section():
    shown = {key for _, text in shown_policies() for key in yaml.load(text, Yaml12Loader)}
    assert {"tools", "sequences", "aliases", "on_error", "metadata", "ask", "limits"} <= shown


@pytest.mark.parametrize(("where", "text"), shown_policies(), ids=[where for where, _ in shown_policies()])
def test_every_shown_policy_is_valid_and_loads_cleanly(where, text):
    assert [error.message for error in VALIDATOR.iter_errors(yaml.load(text, Yaml12Loader))] == []
    assert loader_verdict(text) is True


# ---- the schema's verdict is the loader's ---------------------------------

# Warnings of `ostik check` that relate two places of a document (a rule and the tool lists, two
# rules, a rule and an alias): beyond a schema, which judges each value where it stands.
ACROSS_PLACES = re.compile(r"same rule id as sequences\[|is in both allow and deny|is not in the allow list|"
                           r"is in the deny list|is an alias with no members")


# Beyond a schema too: what RE2 makes of a pattern.
UNCOMPILED = re.compile(r"invalid regular expression|pattern too large")

# Made once: building the command line's parsers costs more than checking a small policy.
PARSER = build_parser()


def loader_verdict(text):
    """Whether the document loads and `ostik check --strict` passes it, warnings across places aside;
    None when only RE2 refuses it."""
    with tempfile.NamedTemporaryFile("w", suffix=".yaml", delete=False, encoding="utf-8") as file:
        file.write(text)
    out, err = io.StringIO(), io.StringIO()
    try:
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            args = PARSER.parse_args(["check", "--strict", file.name])
            try:
                status = args.run(args)
            except UnusableInput as unusable:
                if UNCOMPILED.search(str(unusable)):
                    return None
                status = EXIT_UNUSABLE
    finally:
        os.unlink(file.name)
    if status == EXIT_FAILED:
        warnings = err.getvalue().splitlines()
        assert all(": warning: " in line for line in warnings), warnings
        return all(ACROSS_PLACES.search(line) for line in warnings)
    return status == EXIT_OK


# A few names, the empty one, one with a wildcard, an alias and one that is not ASCII. Strings elsewhere
# are letters only, so that any of them is a regular expression RE2 compiles.
NAMES = ["read_file", "edit_file", "git_push", "inspect", "", "*x", "Ünï"]
WORDS = st.text(alphabet="abé_", max_size=4)
# What JSON text writes a float as is what the loader reads, except integral floats (`2.0`), which a
# schema cannot tell from integers; integers stay within 64 bits, as a Value does.
SCALARS = st.one_of(st.none(), st.booleans(), st.integers(-2**63, 2**64 - 1), st.sampled_from([0.5, -2.25, 3e-5]),
                    WORDS, st.sampled_from(NAMES))
VALUES = st.recursive(SCALARS, lambda inner: st.lists(inner, max_size=3) | st.dictionaries(WORDS, inner, max_size=3),
                      max_leaves=6)
# Values close to the grammar's own, to be put where they are wrong: one of each kind of node, the
# bounds of a count, a quoted number, the empty and the wildcard name, an operator map.
NEAR = [None, True, -1, 4294967296, 1.5, "3", "", "*x", [1], {}, {"max": 1}]
# Misspellings, other kinds' fields, other sections' keys.
UNKNOWN_KEYS = ["Tool", "within", "per", "note"]

TEXT = SCALARS
NAME = st.sampled_from(NAMES)
COUNT = st.integers(0, 2**32 - 1)
RULE_FIELDS = {
    "require": [("tool", NAME)],
    "eventually": [("tool", NAME), ("within", COUNT)],
    "max_calls": [("tool", NAME), ("max", COUNT)],
    "before": [("first", NAME), ("then", NAME)],
    "after": [("trigger", NAME), ("then", NAME), ("within", COUNT)],
    "never_after": [("trigger", NAME), ("forbidden", NAME)],
    "sequence": [("tools", st.lists(NAME, max_size=3)), ("strict", st.booleans())],
    "blocklist": [("pattern", WORDS | NAME)],
}
OPTIONAL_FIELDS = {("after", "within"), ("sequence", "strict")}


@st.composite
def keyed(draw, fields):
    """A mapping of (key, strategy, required) fields, each optional one there or not."""
    return {key: draw(strategy) for key, strategy, required in fields if required or draw(st.booleans())}


@st.composite
def rules(draw):
    kind = draw(st.sampled_from(list(RULE_FIELDS)))
    fields = RULE_FIELDS[kind]
    if draw(st.booleans()):
        return draw(keyed([("type", st.just(kind), True)] +
                          [(key, strategy, (kind, key) not in OPTIONAL_FIELDS) for key, strategy in fields]))
    items = [kind] + [draw(strategy) for _, strategy in fields]
    if (kind, fields[-1][0]) in OPTIONAL_FIELDS and draw(st.booleans()):
        items.pop()
    return items


OPERATORS = {
    "equals": VALUES,
    "one_of": st.lists(VALUES, max_size=3),
    "not_one_of": st.lists(VALUES, max_size=3),
    "contains": WORDS | st.lists(WORDS, max_size=2),
    "not_contains": WORDS | st.lists(WORDS, max_size=2),
    "matches": st.sampled_from(["^https://", r"rm\s+-rf", "a|b", "[0-9]{2}$"]) | WORDS,
    "not_matches": st.sampled_from(["^sudo ", r"\.\."]) | WORDS,
    "min": st.integers(-10, 10) | st.sampled_from([0.5, -2.25]),
    "max": st.integers(-10, 10) | st.sampled_from([0.5, -2.25]),
    "max_length": st.integers(0, 100),
}
CONSTRAINTS = (VALUES.filter(lambda value: not isinstance(value, dict)) |
               st.lists(st.sampled_from(list(OPERATORS)), min_size=1, max_size=3, unique=True).flatmap(
                   lambda chosen: st.fixed_dictionaries({op: OPERATORS[op] for op in chosen})))


def maps(keys, values):
    return st.dictionaries(keys, values, max_size=3)


TOOLS = keyed([
    ("allow", st.none() | st.lists(TEXT, max_size=4), False),
    ("deny", st.none() | st.lists(TEXT, max_size=3), False),
    ("require_args", st.none() | maps(NAME, st.lists(TEXT, max_size=2)), False),
    ("arg_constraints", st.none() | maps(NAME, maps(WORDS, CONSTRAINTS)), False),
])
# Names of the guard's sections: names, aliases and patterns, or lists of them.
PATTERNS = st.sampled_from([*NAMES, "mcp__github__*", "git_?ush", "*"])
TOOL_PATTERNS = PATTERNS | TEXT | st.lists(PATTERNS | TEXT, max_size=3)
# Durations of every form, some of them wrong: no unit, another unit, zero.
WINDOWS = st.builds(lambda number, unit: number + unit,
                    st.sampled_from(["60", "1.5", ".5", "5.", "1e1", "2e-3", "007", "0", "0.0", "", "1.2.3"]),
                    st.sampled_from(["s", "m", "h", "d", ""]))
ASK_ENTRIES = keyed([("tool", TOOL_PATTERNS, True), ("args", maps(WORDS, CONSTRAINTS), False),
                     ("after", TOOL_PATTERNS, False)])
LIMITS = (keyed([("tool", TOOL_PATTERNS, False), ("max", st.integers(0, 10) | st.integers(0, 2**64 - 1), True),
                 ("per", WINDOWS, False)]) |
          keyed([("tool", TOOL_PATTERNS, False), ("repeat", st.integers(0, 5) | st.integers(0, 2**64 - 1), True)]))
DOCUMENTS = keyed([
    ("version", TEXT, True),
    ("name", TEXT, False),
    ("metadata", VALUES, False),
    ("tools", TOOLS, False),
    ("sequences", st.lists(rules(), max_size=3), False),
    ("aliases", maps(NAME, st.lists(TEXT, max_size=3)), False),
    ("on_error", st.sampled_from(["block", "allow"]), False),
    ("ask", st.lists(ASK_ENTRIES, max_size=3), False),
    ("limits", st.lists(LIMITS, max_size=3), False),
])


def places(node, path=()):
    """The path of every node of a document, the root first."""
    yield path
    children = node.items() if isinstance(node, dict) else enumerate(node) if isinstance(node, list) else ()
    for key, child in children:
        yield from places(child, (*path, key))


def changed(document, path, change):
    """A copy of the document with `change` applied to the node at `path` (given the node, it returns
    the new one)."""
    if not path:
        return change(document)
    copy = document.copy() if isinstance(document, dict) else list(document)
    copy[path[0]] = changed(document[path[0]], path[1:], change)
    return copy


def deviations(node):
    """(name, change) of every way of putting one thing out of place at a node: another value, and for
    a mapping a key dropped or added, for a list its last item dropped or one more added."""
    found = [(f"= {value!r}", lambda _, value=value: value) for value in NEAR]
    if isinstance(node, dict):
        found += [(f"without {key!r}", lambda n, key=key: {k: v for k, v in n.items() if k != key}) for key in node]
        found += [(f"with {key!r}", lambda n, key=key: {**n, key: 1}) for key in UNKNOWN_KEYS if key not in node]
    if isinstance(node, list):
        found += [("+ 'x'", lambda n: [*n, "x"])] + ([("- last", lambda n: n[:-1])] if node else [])
    return found


def node_at(document, path):
    for key in path:
        document = document[key]
    return document


@st.composite
def documents(draw):
    """A policy document as data: the grammar's, with up to two things out of place."""
    document = draw(DOCUMENTS)
    for _ in range(draw(st.integers(0, 2))):
        path = draw(st.sampled_from(list(places(document))))
        _, change = draw(st.sampled_from(deviations(node_at(document, path))))
        document = changed(document, path, change)
    return document


def agree(document):
    """The loader's verdict on the document written as JSON text is the schema's."""
    # JSON text is YAML that the loader reads as the data it writes: quoted strings stay strings,
    # numbers, booleans and null are read as such.
    text = json.dumps(document, ensure_ascii=False)
    verdict = loader_verdict(text)
    errors = [f"{'/'.join(map(str, error.absolute_path))}: {error.message}" for error in VALIDATOR.iter_errors(document)]
    assert verdict is None or verdict == (not errors), (text, errors)


@settings(max_examples=500, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(documents())
def test_a_document_is_valid_exactly_when_it_loads_and_check_strict_passes_it(document):
    agree(document)


# Every construct of the language once, and the list form of every kind, short where it can be.
FULL = {
    "version": "1.2",
    "name": "coding-agent",
    "metadata": {"owner": "platform", "tags": ["a", 1]},
    "tools": {
        "allow": ["read_file", "edit_file", "run_tests", "git_commit"],
        "deny": ["delete_repo"],
        "require_args": {"edit_file": ["path"]},
        "arg_constraints": {
            "edit_file": {"path": {"not_contains": "..", "matches": "^src/", "max_length": 200}, "mode": "w"},
            "run_tests": {"timeout": {"min": 1, "max": 600.5}, "suite": {"one_of": ["unit"], "not_one_of": []},
                          "flags": {"contains": ["-q", "-x"], "not_matches": "--pdb", "equals": [1]}},
        },
    },
    "aliases": {"inspect": ["read_file"]},
    "on_error": "allow",
    "sequences": [
        {"type": "require", "tool": "run_tests"}, ["require", "edit_file"],
        {"type": "eventually", "tool": "inspect", "within": 3}, ["eventually", "read_file", 2],
        {"type": "max_calls", "tool": "edit_file", "max": 20}, ["max_calls", "run_tests", 0],
        {"type": "before", "first": "inspect", "then": "edit_file"}, ["before", "read_file", "git_commit"],
        {"type": "after", "trigger": "edit_file", "then": "run_tests", "within": 4},
        ["after", "run_tests", "git_commit"], ["after", "read_file", "edit_file", 4294967295],
        {"type": "never_after", "trigger": "git_commit", "forbidden": "edit_file"},
        ["never_after", "run_tests", "inspect"],
        {"type": "sequence", "tools": ["edit_file", "run_tests"], "strict": True},
        ["sequence", ["inspect"]], ["sequence", ["run_tests", "read_file"], False],
        {"type": "blocklist", "pattern": "exec"}, ["blocklist", "sudo"],
    ],
    "ask": [
        {"tool": "git_push"},
        {"tool": "shell", "args": {"command": {"matches": "^sudo\\b"}, "cwd": "/"}},
        {"tool": ["send_email", "mcp__slack__*"], "after": "read_email"},
        {"tool": "edit_?ile", "after": ["read_file", "inspect"], "args": {}},
    ],
    "limits": [
        {"tool": "web_search", "max": 10, "per": "60s"},
        {"tool": "*", "max": 200},
        {"repeat": 3},
        {"tool": ["read_file", "mcp__*"], "repeat": 18446744073709551615},
        {"max": 0, "per": "1.5h"},
    ],
}


def test_the_full_document_is_valid_and_loads_cleanly():
    assert VALIDATOR.is_valid(FULL)
    assert loader_verdict(json.dumps(FULL)) is True


@pytest.mark.parametrize("section", sorted(FULL))
def test_one_thing_out_of_place_anywhere_gets_the_same_verdict(section):
    # Every deviation at every node of one section: slow-ish, so one case per section.
    for path in places(FULL[section], (section,)):
        for _, change in deviations(node_at(FULL, path)):
            agree(changed(FULL, path, change))
    if section == "version":
        for _, change in deviations(FULL):
            agree(changed(FULL, (), change))


# What a schema cannot follow, as the editors page says: the loader reads these documents otherwise
# than a schema is given them.
@pytest.mark.parametrize("text", [
    "version: '1'\nsequences:\n",  # no value: null to a schema, an empty list to the loader
    "version: '1'\nsequences: [{type: max_calls, tool: a, max: 3.0}]\n",  # an integral float: an integer to a schema
    "version: '1'\nversion: '2'\n",  # a schema sees one of the two keys
    "version: '1'\ntools: {arg_constraints: {t: {a: {matches: '('}}}}\n",  # RE2 does not compile it
    "version: '1'\nmetadata: {n: 18446744073709551616}\n",  # beyond 64 bits
])
def test_what_a_schema_cannot_follow_is_where_the_docs_say(text):
    assert loader_verdict(text) != VALIDATOR.is_valid(yaml.load(text, Yaml12Loader))


def test_the_editors_page_shows_the_line_that_names_the_schema():
    page = Path(ROOT / "docs" / "editors.md").read_text()
    lines = [line for block in code(page, "yaml") for line in block.splitlines() if "yaml-language-server" in line]
    assert lines and all(re.fullmatch(r"# yaml-language-server: \$schema=\S+\.json", line) for line in lines)
