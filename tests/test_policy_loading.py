import time

import pytest

from ostik import Policy, policy_records
from ostik._inspect import ignored_keys

ROOT_KEYS = "one of `version`, `name`, `metadata`, `tools`, `sequences`, `aliases`, `on_error`"
TAGS = "one of `require`, `eventually`, `max_calls`, `before`, `after`, `never_after`, `sequence`, `blocklist`"


def load_error(write_policy, text):
    with pytest.raises(ValueError) as info:
        Policy.from_file(write_policy(text))
    return str(info.value)


# ---- what loads, and into which records ------------------------------------


def test_minimal_document_defaults(write_policy):
    assert policy_records(write_policy('version: "1"\n')) == {
        "version": "1",
        "name": "",
        "metadata": None,
        "tools": {"allow": None, "deny": None, "require_args": None, "arg_constraints": None},
        "sequences": [],
        "aliases": {},
        "on_error": "block",
    }


@pytest.mark.parametrize(
    "text, version, name",
    [
        ("version: 2\n", "2", ""),
        ("version: 1.0\n", "1.0", ""),
        ("version:\n", "", ""),
        ("version: ~\nname: null\n", "~", "null"),
        ("version: 1\nname: 42\n", "1", "42"),
        ("version: !!int 0x10\n", "0x10", ""),
        ("version: '007'\nname:\n", "007", ""),
    ],
)
def test_text_fields_keep_scalars_as_written(write_policy, text, version, name):
    records = policy_records(write_policy(text))
    assert (records["version"], records["name"]) == (version, name)


@pytest.mark.parametrize(
    "tools, expected",
    [
        ("{allow: []}", {"allow": [], "deny": None}),
        ("{}", {"allow": None, "deny": None}),
        ("", {"allow": None, "deny": None}),
        ("{allow: ~, deny: [1, true, ~]}", {"allow": None, "deny": ["1", "true", "~"]}),
        ("\n  allow:\n  deny: null", {"allow": None, "deny": None}),
    ],
)
def test_tools_lists_absent_versus_empty(write_policy, tools, expected):
    records = policy_records(write_policy(f"version: 1\ntools: {tools}\n"))
    assert {k: records["tools"][k] for k in expected} == expected


@pytest.mark.parametrize(
    "rule, expected",
    [
        ("{type: after, trigger: a, then: b}", {"type": "after", "trigger": "a", "then": "b", "within": 1}),
        ("[after, login, audit_log, 3]", {"type": "after", "trigger": "login", "then": "audit_log", "within": 3}),
        ("[after, login, audit_log]", {"type": "after", "trigger": "login", "then": "audit_log", "within": 1}),
        ("[sequence, [a, b]]", {"type": "sequence", "tools": ["a", "b"], "strict": False}),
        ("{type: sequence, tools: [a], strict: True}", {"type": "sequence", "tools": ["a"], "strict": True}),
        ("{type: require, tool: a, note: [x, {y: 1}]}", {"type": "require", "tool": "a"}),
        ("{tool: a, type: require}", {"type": "require", "tool": "a"}),
        ('{type: require, tool: "123"}', {"type": "require", "tool": "123"}),
        ("{type: max_calls, tool: a, max: 0x10}", {"type": "max_calls", "tool": "a", "max": 16}),
        ("{type: max_calls, tool: a, max: 0o20}", {"type": "max_calls", "tool": "a", "max": 16}),
        ("{type: max_calls, tool: a, max: 0b10000}", {"type": "max_calls", "tool": "a", "max": 16}),
        ("{type: max_calls, tool: a, max: 4294967295}", {"type": "max_calls", "tool": "a", "max": 4294967295}),
        ("{type: eventually, tool: a, within: +0}", {"type": "eventually", "tool": "a", "within": 0}),
        ("{type: never_after, trigger: a, forbidden: b}", {"type": "never_after", "trigger": "a", "forbidden": "b"}),
        ("{type: before, first: a, then: b}", {"type": "before", "first": "a", "then": "b"}),
        ("[blocklist, exec]", {"type": "blocklist", "pattern": "exec"}),
    ],
)
def test_rule_forms(write_policy, rule, expected):
    records = policy_records(write_policy(f"version: 1\nsequences:\n  - {rule}\n"))
    assert records["sequences"] == [expected]


def test_maps_keep_the_later_of_repeated_keys(write_policy):
    text = "version: 1\naliases:\n  a: [x]\n  a: [y, z]\ntools:\n  require_args: {t: [p], t: [q]}\n"
    records = policy_records(write_policy(text))
    assert records["aliases"] == {"a": ["y", "z"]}
    assert records["tools"]["require_args"] == {"t": ["q"]}


@pytest.mark.parametrize(
    "scalar, value",
    [
        ("~", None),
        ("", None),
        ("true", True),
        ("FALSE", False),
        ("12", 12),
        ("-12", -12),
        ("+12", 12),
        ("-0x10", -16),
        ("18446744073709551615", 18446744073709551615),
        ("-9223372036854775808", -9223372036854775808),
        ("0123", "0123"),
        ("-007", "-007"),
        ("1.5", 1.5),
        ("+.5", 0.5),
        ("1e3", 1000.0),
        ("1e999", "1e999"),
        ("++1", "++1"),
        (".inf", None),
        ("-.Inf", None),
        (".NaN", None),
        ("'12'", "12"),
        ("!!str 12", "12"),
        ("yes", "yes"),
    ],
)
def test_metadata_scalar_resolution(write_policy, scalar, value):
    records = policy_records(write_policy(f"version: 1\nmetadata:\n  v: {scalar}\n"))
    assert records["metadata"] == {"v": value}
    if isinstance(value, float):
        assert isinstance(records["metadata"]["v"], float)


def test_metadata_null_is_absent_and_nested_values_load(write_policy):
    assert policy_records(write_policy("version: 1\nmetadata: ~\n"))["metadata"] is None
    records = policy_records(write_policy("version: 1\nmetadata: {b: [1, {c: d}], a: .inf}\n"))
    assert records["metadata"] == {"a": None, "b": [1, {"c": "d"}]}


@pytest.mark.parametrize(
    "text, metadata",
    [
        ("metadata: !!null\n", None),
        ("metadata: !!null ~\n", None),
        ("metadata: !!null null\n", None),
        ("metadata: {v: !!null , w: [!!null ]}\n", {"v": None, "w": [None]}),
    ],
)
def test_null_tag_on_an_empty_plain_scalar_is_null(write_policy, text, metadata):
    assert policy_records(write_policy(f"version: '1'\n{text}"))["metadata"] == metadata


def test_null_tag_on_an_empty_plain_tools_list_leaves_it_absent(write_policy):
    assert policy_records(write_policy("version: '1'\ntools: {allow: !!null , deny: [a]}\n"))["tools"]["allow"] is None


RULE_SHAPE = "internally tagged enum SequenceRule"


@pytest.mark.parametrize(
    "text, message",
    [
        # Quoted, the empty text is a string, which the tag does not fit.
        ("metadata: !!null \"\"\n", 'metadata: invalid value: string "", expected null at line 2 column 11'),
        ("metadata: !!null x\n", 'metadata: invalid value: string "x", expected null at line 2 column 11'),
        ("sequences: [!!null ]\n", f"sequences[0]: invalid type: unit value, expected {RULE_SHAPE} at line 2 column 13"),
        ("sequences: [[require, a], !!null ]\n",
         f"sequences[1]: invalid type: unit value, expected {RULE_SHAPE} at line 2 column 27"),
        ("sequences:\n  - !!null\n", f"sequences[0]: invalid type: unit value, expected {RULE_SHAPE} at line 3 column 5"),
        ("sequences: [[require, !!null ]]\n",
         "sequences[0]: invalid type: unit value, expected a string at line 2 column 13"),
        ("sequences: !!null\n", "sequences: invalid type: unit value, expected a sequence at line 2 column 12"),
    ],
)
def test_null_tag_on_empty_plain_scalar_is_judged_as_null(write_policy, text, message):
    assert load_error(write_policy, f"version: '1'\n{text}") == message


@pytest.mark.parametrize(
    "rule",
    [
        "{type: require, tool: t, e: !!int x}",
        "\n    tool: t\n    e: !!int\n    type: require",
        "{type: require, tool: t, e: !!bool maybe}",
        "{type: require, tool: t, e: !!float }",
        "{type: require, tool: t, e: !!float x}",
        "{type: require, tool: t, e: !!null x}",
        "{e: !!int x, type: require, tool: t}",
        "{type: require, tool: t, note: [1, {a: !!int x}]}",
        # a field of another kind, by name and by position
        "{type: require, tool: t, max: !!int x}",
        "{type: require, 0: t, 1: !!int x}",
    ],
)
def test_tags_under_keys_a_rule_ignores_are_not_checked(write_policy, rule):
    records = policy_records(write_policy(f"version: '1'\nsequences:\n  - {rule}\n"))
    assert records["sequences"] == [{"type": "require", "tool": "t"}]


@pytest.mark.parametrize(
    "rule, message",
    [
        ("{type: max_calls, tool: t, max: !!int x}",
         'sequences[0].max: invalid value: string "x", expected an integer at line 3 column 37'),
        # The kind comes after the field: the error still names the field's node.
        ("{max: !!int x, type: max_calls, tool: t}",
         'sequences[0].max: invalid value: string "x", expected an integer at line 3 column 11'),
        ("{tools: [a, !!bool maybe], type: sequence}",
         'sequences[0].tools[1]: invalid value: string "maybe", expected a boolean at line 3 column 17'),
        ("{type: max_calls, 0: t, 1: !!int x}",
         'sequences[0].1: invalid value: string "x", expected an integer at line 3 column 32'),
        ("{type: require, tool: !!float x}",
         'sequences[0].tool: invalid value: string "x", expected a float at line 3 column 27'),
        ("[max_calls, t, !!int x]", 'sequences[0][2]: invalid value: string "x", expected an integer at line 3 column 20'),
        # A key that cannot name a field is refused whatever its value holds.
        ("{type: require, tool: t, true: !!int x}",
         "sequences[0]: invalid type: boolean `true`, expected field identifier at line 3 column 5"),
    ],
)
def test_tags_under_rule_fields_are_still_checked(write_policy, rule, message):
    assert load_error(write_policy, f"version: '1'\nsequences:\n  - {rule}\n") == message


def test_a_fitting_tag_under_a_rule_field_loads(write_policy):
    records = policy_records(write_policy("version: '1'\nsequences:\n  - {type: max_calls, tool: t, max: !!int 0x7}\n"))
    assert records["sequences"] == [{"type": "max_calls", "tool": "t", "max": 7}]


def test_anchored_list_reused_in_several_rules(write_policy):
    with_anchors = (
        "version: 1\naliases:\n  fs: &fs [read_file, write_file]\n"
        "sequences:\n  - {type: sequence, tools: *fs}\n  - [sequence, *fs, true]\n"
        "  - &r {type: require, tool: read_file}\n  - *r\n"
    )
    expanded = (
        "version: 1\naliases:\n  fs: [read_file, write_file]\n"
        "sequences:\n  - {type: sequence, tools: [read_file, write_file]}\n"
        "  - [sequence, [read_file, write_file], true]\n"
        "  - {type: require, tool: read_file}\n  - {type: require, tool: read_file}\n"
    )
    assert policy_records(write_policy(with_anchors)) == policy_records(write_policy(expanded))


# ---- keys that rules ignore ------------------------------------------------


def test_ignored_keys_lists_what_rules_drop_with_positions(write_policy):
    path = write_policy(
        "version: '1'\n"
        "sequences:\n"
        "  - {type: require, tool: a, note: x, 5: y, 0: a2}\n"  # 0 names `tool` by position: a duplicate
        "  - [after, a, b, 3]\n"
        "  - type: after\n"
        "    trigger: a\n"
        "    withn: 3\n"
        "    'then': b\n"
        "    \"odd key\": {nested: [1, !!int x]}\n"
        "  - {type: max_calls, tool: a, max: 1, Max: 2}\n"
    )
    with pytest.raises(ValueError, match="^sequences\\[0\\]: duplicate field `tool`"):
        ignored_keys(path)
    path = write_policy(open(path).read().replace(", 0: a2", ""))
    assert ignored_keys(path) == [
        {"rule": 0, "type": "require", "key": "note", "line": 3, "column": 30},
        {"rule": 0, "type": "require", "key": "5", "line": 3, "column": 39},
        {"rule": 2, "type": "after", "key": "withn", "line": 7, "column": 5},
        {"rule": 2, "type": "after", "key": "odd key", "line": 9, "column": 5},
        {"rule": 3, "type": "max_calls", "key": "Max", "line": 10, "column": 40},
    ]
    # What the loader keeps is not affected.
    assert policy_records(path)["sequences"][2] == {"type": "after", "trigger": "a", "then": "b", "within": 1}


@pytest.mark.parametrize(
    "text, expected",
    [
        # an anchored rule is read, and reported, at each use
        ("sequences:\n  - &r {type: before, first: a, then: b, within: 2}\n  - *r\n",
         [(0, "within", 3, 42), (1, "within", 3, 42)]),
        # a key written as an alias: its text is the anchored scalar's, its place the alias's
        ("name: &k note\nsequences: [{type: require, tool: a, *k : 1}]\n", [(0, "note", 3, 38)]),
        # `<<` is an ordinary key here, and its value is dropped like any other
        ("metadata: {g: &base {type: require}}\nsequences: [{<<: *base, type: require, tool: t}]\n",
         [(0, "<<", 3, 14)]),
        # the kind comes last; the key comes before it
        ("sequences: [{e: !!int x, tool: t, type: require}]\n", [(0, "e", 2, 14)]),
        # the sequence form has no keys; a rule's own fields are never listed
        ("sequences: [[require, a], {type: sequence, tools: [a], strict: true, type2: x}]\n", [(1, "type2", 2, 70)]),
        ("sequences: []\n", []),
    ],
)
def test_ignored_keys_cases(write_policy, text, expected):
    found = ignored_keys(write_policy(f"version: '1'\n{text}"))
    assert [(k["rule"], k["key"], k["line"], k["column"]) for k in found] == expected


def test_ignored_keys_fails_as_loading_does(tmp_path, write_policy):
    with pytest.raises(FileNotFoundError, match="os error 2"):
        ignored_keys(str(tmp_path / "missing.yaml"))
    with pytest.raises(ValueError, match="^sequences\\[0\\]: missing field `within`"):
        ignored_keys(write_policy("version: 1\nsequences: [{type: eventually, tool: a, note: 1}]\n"))
    with pytest.raises(TypeError, match="^argument 'path'"):
        ignored_keys(b"p.yaml")


# ---- message forms, with path and position ---------------------------------


@pytest.mark.parametrize(
    "text, message",
    [
        # wrong kind of node
        ("version: [1]\n", "version: invalid type: sequence, expected a string at line 1 column 10"),
        ("- a\n", "invalid type: sequence, expected struct Policy"),
        ("hello\n", 'invalid type: string "hello", expected struct Policy'),
        ("version: 1\ntools: [a]\n", "tools: invalid type: sequence, expected struct ToolsPolicy at line 2 column 8"),
        ("version: 1\ntools: ~\n", "tools: invalid type: unit value, expected struct ToolsPolicy at line 2 column 8"),
        ("version: 1\nsequences: ~\n", "sequences: invalid type: unit value, expected a sequence at line 2 column 12"),
        ("version: 1\naliases: null\n", "aliases: invalid type: unit value, expected a map at line 2 column 10"),
        ("version: 1\ntools:\n  allow: [{a: 1}]\n",
         "tools.allow[0]: invalid type: map, expected a string at line 3 column 11"),
        ("version: 1\ntools:\n  deny: 5\n", "tools.deny: invalid type: integer `5`, expected a sequence at line 3 column 9"),
        ("version: 1\nsequences:\n  - {type: require, tool: 123}\n",
         "sequences[0]: invalid type: integer `123`, expected a string at line 3 column 5"),
        ("version: 1\nsequences:\n  - {type: require, tool: true}\n",
         "sequences[0]: invalid type: boolean `true`, expected a string at line 3 column 5"),
        ("version: 1\nsequences:\n  - {type: require, tool: null}\n",
         "sequences[0]: invalid type: unit value, expected a string at line 3 column 5"),
        ("version: 1\nsequences:\n  - {type: max_calls, tool: a, max: '3'}\n",
         'sequences[0]: invalid type: string "3", expected u32 at line 3 column 5'),
        ("version: 1\nsequences:\n  - {type: max_calls, tool: a, max: 1.5}\n",
         "sequences[0]: invalid type: floating point `1.5`, expected u32 at line 3 column 5"),
        ("version: 1\nsequences:\n  - {type: max_calls, tool: a, max: 1e20}\n",
         "sequences[0]: invalid type: floating point `100000000000000000000.0`, expected u32 at line 3 column 5"),
        ("version: 1\nsequences:\n  - {type: sequence, tools: [a], strict: 'true'}\n",
         'sequences[0]: invalid type: string "true", expected a boolean at line 3 column 5'),
        ("version: 1\nsequences:\n  - require\n",
         'sequences[0]: invalid type: string "require", expected internally tagged enum SequenceRule'
         " at line 3 column 5"),
        ("version: 1\nmetadata: !!int abc\n",
         'metadata: invalid value: string "abc", expected an integer at line 2 column 11'),
        ("version: 1\nmetadata: [!!bool yes]\n",
         'metadata[0]: invalid value: string "yes", expected a boolean at line 2 column 12'),
        # right kind, bad value
        ("version: 1\nsequences:\n  - {type: max_calls, tool: a, max: -1}\n",
         "sequences[0]: invalid value: integer `-1`, expected u32 at line 3 column 5"),
        ("version: 1\nsequences:\n  - {type: max_calls, tool: a, max: 4294967296}\n",
         "sequences[0]: invalid value: integer `4294967296`, expected u32 at line 3 column 5"),
        # length
        ("version: 1\nsequences:\n  - [after, a]\n",
         "sequences[0]: invalid length 1, expected struct variant SequenceRule::After with 3 elements"
         " at line 3 column 5"),
        ("version: 1\nsequences:\n  - [require]\n",
         "sequences[0]: invalid length 0, expected struct variant SequenceRule::Require with 1 element"
         " at line 3 column 5"),
        ("version: 1\nsequences:\n  - [before, a, b, c]\n",
         "sequences[0]: invalid length 3, expected 2 elements in sequence at line 3 column 5"),
        ("version: 1\nsequences:\n  - [blocklist, a, b]\n",
         "sequences[0]: invalid length 2, expected 1 element in sequence at line 3 column 5"),
        # missing
        ("name: x\n", "missing field `version`"),
        ("version: 1\nsequences:\n  - type: require\n    tool: a\n  - type: eventually\n    tool: a\n",
         "sequences[1]: missing field `within` at line 5 column 5"),
        ("version: 1\nsequences:\n  - {tool: a}\n", "sequences[0]: missing field `type` at line 3 column 5"),
        ("version: 1\nsequences:\n  - []\n", "sequences[0]: missing field `type` at line 3 column 5"),
        # duplicate
        ("version: 1\nversion: 2\n", "duplicate field `version`"),
        ("version: 1\ntools:\n  allow: []\n  allow: []\n", "tools: duplicate field `allow` at line 3 column 3"),
        ("version: 1\nsequences:\n  - {type: require, tool: a, tool: b}\n",
         "sequences[0]: duplicate field `tool` at line 3 column 5"),
        ("version: 1\nsequences:\n  - {type: require, type: require, tool: a}\n",
         "sequences[0]: duplicate field `type` at line 3 column 5"),
        # unknown field
        ("version: 1\nrules: []\n", f"unknown field `rules`, expected {ROOT_KEYS} at line 2 column 1"),
        ("version: 1\ntools: {foo: 1}\n",
         "tools: unknown field `foo`, expected one of `allow`, `deny`, `require_args`, `arg_constraints`"
         " at line 2 column 9"),
        # unknown variant
        ("version: 1\non_error: warn\n", "on_error: unknown variant `warn`, expected `block` or `allow` at line 2 column 11"),
        ("version: 1\nsequences:\n  - {type: Require, tool: a}\n",
         f"sequences[0].type: unknown variant `Require`, expected {TAGS} at line 3 column 12"),
        ("version: 1\nsequences:\n  - {type: 0, tool: a}\n",
         f"sequences[0].type: unknown variant `0`, expected {TAGS} at line 3 column 12"),
        ("version: 1\nsequences:\n  - [nope, a]\n", f"sequences[0][0]: unknown variant `nope`, expected {TAGS} at line 3 column 6"),
        # fixed texts
        ("", "EOF while parsing a value"),
        ("# only a comment\n", "EOF while parsing a value"),
        ("version: 1\n---\nversion: 2\n", "deserializing from YAML containing more than one document is not supported"),
        ("version: 1\nname: *nope\n", "unknown anchor at line 2 column 7"),
        ("version: 1\nmetadata: {n: 18446744073709551616}\n", "metadata.n: JSON number out of range at line 2 column 15"),
        ("version: 1\nmetadata: [-9223372036854775809]\n", "metadata[0]: JSON number out of range at line 2 column 12"),
        # syntax errors, framed
        ("version: '1'\nname: x\n- y\n", "did not find expected key at line 3 column 1, while parsing a block mapping"),
        ("version: '1'\nname: 'abc\n",
         "found unexpected end of stream at line 3 column 1, while scanning a quoted scalar at line 2 column 7"),
        ("version: '1'\nname: x\n  bad: y\n", "mapping values are not allowed in this context at line 3 column 6"),
    ],
)
def test_message_forms(write_policy, text, message):
    assert load_error(write_policy, text) == message


def test_only_dashes_is_missing_version_with_position(write_policy):
    assert load_error(write_policy, "---\n").startswith("missing field `version` at line")


@pytest.mark.parametrize(
    "text, message",
    [
        # The schema error comes first in the document: it wins over the syntax error after it.
        ("version: 1\nrules: x\nname: [a\n", f"unknown field `rules`, expected {ROOT_KEYS} at line 2 column 1"),
        # The first document is read before the second is looked for.
        ("name: x\n---\nversion: 2\n", "missing field `version`"),
        # A syntax error after the mapping still fails the load.
        ("version: '1'\n...\n]\n", "did not find expected <document start> at line 3 column 1"),
    ],
)
def test_which_error_wins(write_policy, text, message):
    assert load_error(write_policy, text) == message


# ---- limits ----------------------------------------------------------------


def nested(depth):
    return "[" * depth + "]" * depth


@pytest.mark.parametrize(
    "depth, loads",
    [(127, True), (128, False), (10_000, False)],
)
def test_nesting_limit(write_policy, depth, loads):
    # The root mapping is the first level.
    path = write_policy(f"version: 1\nmetadata: {nested(depth)}\n")
    if loads:
        Policy.from_file(path)
    else:
        with pytest.raises(ValueError, match="^recursion limit exceeded at line 2 column 138$"):
            Policy.from_file(path)


def test_unclosed_deep_nesting_fails_fast(write_policy):
    path = write_policy("version: 1\nmetadata: " + "[" * 200_000 + "\n")
    start = time.monotonic()
    with pytest.raises(ValueError, match="^recursion limit exceeded"):
        Policy.from_file(path)
    assert time.monotonic() - start < 5  # generous: a quadratic scan takes minutes


def test_self_referencing_alias_hits_recursion_limit(write_policy):
    with pytest.raises(ValueError, match="^recursion limit exceeded"):
        Policy.from_file(write_policy("version: 1\nmetadata: &a [*a]\n"))


def alias_bomb(levels=9, width=10):
    text = "version: '1'\nmetadata:\n  a0: &a0 [" + ",".join(["x"] * width) + "]\n"
    for i in range(1, levels + 1):
        text += f"  a{i}: &a{i} [" + ",".join([f"*a{i - 1}"] * width) + "]\n"
    return text


def list_of_lists(items=10_000, copies=10_000):
    return ("version: '1'\nmetadata:\n  l: &l [" + ",".join(["x"] * items) + "]\n"
            "  m: [" + ",".join(["*l"] * copies) + "]\n")


@pytest.mark.parametrize("text", [alias_bomb(), list_of_lists()], ids=["nested-aliases", "list-of-lists"])
def test_alias_expansion_work_is_bounded(write_policy, text):
    with pytest.raises(ValueError) as info:
        Policy.from_file(write_policy(text))
    assert str(info.value) == "repetition limit exceeded"


def test_many_small_alias_uses_still_load(write_policy):
    text = "version: 1\naliases:\n  g: &g [a, b, c]\n" + "".join(f"  g{i}: *g\n" for i in range(500))
    assert len(policy_records(write_policy(text))["aliases"]) == 501


# ---- read failures ---------------------------------------------------------


def test_read_failures_raise_file_not_found(tmp_path, write_policy):
    with pytest.raises(FileNotFoundError) as missing:
        Policy.from_file(str(tmp_path / "missing.yaml"))
    assert str(missing.value) == "No such file or directory (os error 2)"
    with pytest.raises(FileNotFoundError) as directory:
        Policy.from_file(str(tmp_path))
    assert str(directory.value) == "Is a directory (os error 21)"
    with pytest.raises(FileNotFoundError) as bad_utf8:
        Policy.from_file(write_policy(b"version: '\xff'\n"))
    assert str(bad_utf8.value) == "stream did not contain valid UTF-8"


def test_relative_path_resolves_against_cwd(tmp_path, monkeypatch):
    (tmp_path / "p.yaml").write_text("version: 3\n")
    monkeypatch.chdir(tmp_path)
    assert policy_records("p.yaml")["version"] == "3"
    Policy.from_file(path="p.yaml")
