"""Rule ids lower-case names with the full Unicode mapping: compared with Python's str.lower()."""
import json
import sys
import unicodedata

import pytest

from ostik import Policy, TraceExplainer


def yaml_quoted(text):
    """A double-quoted YAML scalar holding `text`, every character outside printable ASCII escaped."""
    out = []
    for ch in text:
        if ch in '"\\':
            out.append("\\" + ch)
        elif " " <= ch <= "~":
            out.append(ch)
        else:
            out.append(f"\\U{ord(ch):08x}")
    return '"' + "".join(out) + '"'


def require_ids(write_policy, names):
    """The rule ids of a policy with one require rule per name, as the explainer reports them."""
    rules = "".join(f"  - {{type: require, tool: {yaml_quoted(n)}}}\n" for n in names)
    policy = Policy.from_file(write_policy(f"version: '1'\nsequences:\n{rules}"))
    step = json.loads(TraceExplainer(policy).explain([{"tool": "x"}]))["steps"][0]
    return [e["rule_id"] for e in step["rules_evaluated"][: len(names)]]


def assigned_code_points():
    # Unassigned (Cn) in this Python's Unicode version, including what only a
    # newer ICU would know, and surrogates (no UTF-8 form) are left out.
    return [cp for cp in range(sys.maxunicode + 1) if unicodedata.category(chr(cp)) not in ("Cn", "Cs")]


def test_every_assigned_code_point_lowers_like_python(write_policy):
    points = assigned_code_points()
    # One rule per chunk; blanks keep each code point out of its neighbours'
    # final-sigma context (a blank is neither cased nor case-ignorable).
    chunks = [points[i: i + 2000] for i in range(0, len(points), 2000)]
    names = [" ".join(map(chr, chunk)) for chunk in chunks]
    ids = require_ids(write_policy, names)
    differing = [chunk for chunk, name, rid in zip(chunks, names, ids) if rid != "require_" + name.lower()]
    disagreements = []
    for chunk in differing:  # narrow down to the code points themselves
        singles = [chr(cp) for cp in chunk]
        for ch, rid in zip(singles, require_ids(write_policy, singles)):
            if rid != "require_" + ch.lower():
                disagreements.append(f"U+{ord(ch):04X}: ids lower to {rid[8:]!r}, Python to {ch.lower()!r}")
    assert not disagreements, f"Unicode {unicodedata.unidata_version}: " + "; ".join(disagreements)


@pytest.mark.parametrize(
    "name, lowered",
    [
        ("İ", "i\u0307"),          # one code point becomes two
        ("ΑΣ", "ας"),              # final sigma
        ("Σ", "σ"),                # a sigma alone is not final
        ("ΑΣ.Β", "ασ.β"),          # the full stop is case-ignorable: a cased letter follows
        ("ΑΣ Β", "ας β"),
        ("ÀÉÎ_Ǆ", "àéî_ǆ"),
        ("ⅫⒶ𐐀", "ⅻⓐ𐐨"),
    ],
)
def test_special_mappings(write_policy, name, lowered):
    assert name.lower() == lowered
    assert require_ids(write_policy, [name]) == ["require_" + lowered]


def test_names_lowered_per_field_and_sequences_as_a_whole(write_policy):
    policy = Policy.from_file(write_policy(
        "version: '1'\nsequences:\n"
        "  - {type: before, first: ΑΣ, then: ΒΣ}\n"
        "  - {type: sequence, tools: [ΑΣ, Β]}\n"
        "  - {type: eventually, tool: ΑΣ, within: 2}\n"))
    entries = json.loads(TraceExplainer(policy).explain([{"tool": "x"}]))["steps"][0]["rules_evaluated"]
    assert [e["rule_id"] for e in entries] == ["before_ας_then_βς", "sequence_ας_β", "eventually_ας_2"]
