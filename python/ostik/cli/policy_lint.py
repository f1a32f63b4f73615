"""Static checks of a loaded policy: things that load fine but are probably mistakes.

Works on the records from ``ostik.policy_records`` so that it sees exactly what
the native loader read; it never parses YAML itself.
"""

from __future__ import annotations

import difflib
import re
from collections import Counter
from collections.abc import Iterator, Sequence
from typing import TYPE_CHECKING

from ostik._inspect import rule_id
from ostik.reports.escaping import printable, quote

if TYPE_CHECKING:
    from ostik._inspect import IgnoredKey, PolicyRecords, RuleRecord

RULE_KINDS = ("require", "eventually", "max_calls", "before", "after", "never_after", "sequence", "blocklist")

# The fields of each kind of rule, besides `type`.
RULE_FIELDS = {
    "require": ("tool",),
    "eventually": ("tool", "within"),
    "max_calls": ("tool", "max"),
    "before": ("first", "then"),
    "after": ("trigger", "then", "within"),
    "never_after": ("trigger", "forbidden"),
    "sequence": ("tools", "strict"),
    "blocklist": ("pattern",),
}


# The fields of an entry of the guard's own sections; the loader refuses any other key there.
ENTRY_FIELDS = {"ask": ("tool", "args", "after"), "limits": ("tool", "max", "per", "repeat"),
                "taint": ("label", "result", "tool"), "flows": ("from", "to", "min_length", "args", "effect")}

# The operators of an argument condition, as the loader lists them.
ARGUMENT_OPERATORS = ("equals", "one_of", "not_one_of", "contains", "not_contains", "matches", "not_matches", "min",
                      "max", "max_length")

# "ask[0]: unknown field `afer`, expected ...", "ask[1].args.command: unknown operator `matchs`, expected ..."
UNKNOWN_ENTRY_KEY = re.compile(r"(ask|limits|taint|flows)\[\d+\](\.args\..*)?: unknown (field|operator) `(.*)`, expected ",
                               flags=re.DOTALL)


def rule_names(rule: RuleRecord) -> list[tuple[str, str]]:
    """The tool names a rule is written with, as (field, name) pairs; a blocklist has none."""
    match rule["type"]:
        case "require" | "eventually" | "max_calls":
            return [("tool", rule["tool"])]
        case "before":
            return [("first", rule["first"]), ("then", rule["then"])]
        case "after":
            return [("trigger", rule["trigger"]), ("then", rule["then"])]
        case "never_after":
            return [("trigger", rule["trigger"]), ("forbidden", rule["forbidden"])]
        case "sequence":
            return [(f"tools[{i}]", name) for i, name in enumerate(rule["tools"])]
        case "blocklist":
            return []


def summary(records: PolicyRecords) -> str:
    """One line: name, version, rules by kind, tool lists, aliases and argument rules (when there are any)."""
    rules = records["sequences"]
    kinds: Counter[str] = Counter(rule["type"] for rule in rules)
    by_kind = ", ".join(f"{kinds[kind]} {kind}" for kind in RULE_KINDS if kinds[kind])
    tools = records["tools"]
    allow = "any tool allowed" if tools["allow"] is None else f"{len(tools['allow'])} allowed"
    deny = "none denied" if tools["deny"] is None else f"{len(tools['deny'])} denied"
    name = quote(records["name"]) if records["name"] else "(unnamed)"
    plural = "" if len(rules) == 1 else "s"
    rule_text = f"{len(rules)} rule{plural}" + (f" ({by_kind})" if by_kind else "")
    alias_count = len(records["aliases"])
    text = (f"policy {name} version {quote(records['version'])}: {rule_text}; "
            f"tools: {allow}, {deny}; {alias_count} alias{'' if alias_count == 1 else 'es'}")
    # One argument rule per require_args entry and per constrained argument.
    argument_rules = len(tools["require_args"] or {}) + sum(map(len, (tools["arg_constraints"] or {}).values()))
    if argument_rules:
        text += f"; {argument_rules} argument rule{'' if argument_rules == 1 else 's'}"
    return text


def policy_warnings(records: PolicyRecords) -> list[str]:
    """Every warning about the policy, tools section first, then the rules in order."""
    return list(_tool_warnings(records)) + list(_rule_warnings(records))


def _tool_warnings(records: PolicyRecords) -> Iterator[str]:
    allow = records["tools"]["allow"]
    deny = records["tools"]["deny"] or []
    aliases = records["aliases"]
    for i, name in enumerate(deny):
        if name.startswith("*"):
            yield (f"tools.deny[{i}]: {quote(name)} starts with '*', so coverage cannot report it "
                   f"as a high-risk gap when no trace calls it")
    if allow is None:
        return
    allowed = set(allow)
    denied = set(deny)
    for name in dict.fromkeys(name for name in deny if name in allowed):
        yield f"tools: {quote(name)} is in both allow and deny; the deny list wins, so every call of it is blocked"
    # The allow check lets through every alias member, whatever the alias is
    # called and whether or not it is allowed itself: easy to overlook.
    listed_by: dict[str, list[str]] = {}
    for alias in sorted(aliases):
        for member in aliases[alias]:
            if member not in allowed and member not in denied and alias not in listed_by.get(member, []):
                listed_by.setdefault(member, []).append(alias)
    for member, owners in listed_by.items():
        which = ("alias " if len(owners) == 1 else "aliases ") + ", ".join(quote(a) for a in owners)
        verb = "lists" if len(owners) == 1 else "list"
        yield f"tools.allow: {quote(member)} is not in the allow list but passes it because {which} {verb} it"


def _rule_warnings(records: PolicyRecords) -> Iterator[str]:
    allow = records["tools"]["allow"]
    allowed = set(allow or [])
    denied = set(records["tools"]["deny"] or [])
    aliases = records["aliases"]
    members = {member for names in aliases.values() for member in names}
    first_with_id: dict[str, int] = {}

    def blocked_why(tool: str) -> str | None:
        if tool in denied:
            return "is in the deny list"
        if allow is not None and tool not in allowed and tool not in members:
            return "is not in the allow list"
        return None

    for index, rule in enumerate(records["sequences"]):
        rid = rule_id(rule)
        where = f"sequences[{index}] ({printable(rid)})"
        if rid in first_with_id:
            yield (f"{where}: same rule id as sequences[{first_with_id[rid]}], so the explainer and coverage "
                   f"cannot tell the two apart (coverage counts them as one)")
        else:
            first_with_id[rid] = index
        for field, name in rule_names(rule):
            if name in aliases:
                if not aliases[name]:
                    yield f"{where}: {field} {quote(name)} is an alias with no members, so it matches no tool"
                for member in aliases[name]:
                    why = blocked_why(member)
                    if why:
                        yield (f"{where}: {field} {quote(name)} stands for {quote(member)}, which {why}, "
                               f"so every call of it is blocked anyway")
            else:
                why = blocked_why(name)
                if why:
                    yield f"{where}: {field} {quote(name)} {why}, so every call of it is blocked anyway"
        if rule["type"] == "never_after" and rule["forbidden"].startswith("*"):
            yield (f"{where}: forbidden {quote(rule['forbidden'])} starts with '*', so coverage cannot report it "
                   f"as a high-risk gap when no trace calls it")
        if rule["type"] == "blocklist" and rule["pattern"] == "":
            yield f"{where}: the empty pattern occurs in every tool name, so every step is blocked"


def nearest_field(kind: str, key: str) -> str | None:
    """The field of this kind of rule that `key` is most likely a misspelling of, if any is close."""
    return nearest(key, RULE_FIELDS[kind])


def nearest(key: str, names: Sequence[str]) -> str | None:
    """The one of `names` that `key` is most likely a misspelling of, if any is close."""
    # Case is compared loosely: `Within` is as likely a slip as `withn`.
    folded = {name.lower(): name for name in names}
    # Two letters swapped in a short name (`pre`) are a slip that the ratio below misses.
    swapped = [name for lower, name in folded.items() if sorted(lower) == sorted(key.lower())]
    if swapped:
        return swapped[0]
    close = difflib.get_close_matches(key.lower(), list(folded), n=1, cutoff=0.7)
    return folded[close[0]] if close else None


def misspelling_hint(message: str) -> str:
    """The end of the loader's message about a key it refuses in an entry of `ask` or `limits` (a field
    of the entry, or an operator of its `args`): "; did you mean `tool`?" when the key is close to one
    it takes, and "" when none is or the message is about something else."""
    found = UNKNOWN_ENTRY_KEY.match(message)
    if found is None:
        return ""
    section, in_args, what, key = found.groups()
    names = ARGUMENT_OPERATORS if in_args else ENTRY_FIELDS[section]
    suggestion = nearest(key, names) if (what == "operator") == bool(in_args) else None
    return f"; did you mean `{printable(suggestion)}`?" if suggestion else ""


def ignored_key_warning(ignored: IgnoredKey) -> str:
    """The warning for a rule key that the loader drops because it names no field of the rule's kind."""
    kind = ignored["type"]
    article = "an" if kind[0] in "aeiou" else "a"
    text = f"sequences[{ignored['rule']}]: unknown key `{printable(ignored['key'])}` in {article} {kind} rule is ignored"
    suggestion = nearest_field(kind, ignored["key"])
    return text + (f"; did you mean `{suggestion}`?" if suggestion else "")
