# Type stubs for ostik._inspect: a loaded policy's records as plain Python data.
from typing import Any, Literal, TypedDict

class ToolsRecord(TypedDict):
    # None when the key is absent from the policy; [] or {} when present but empty.
    allow: list[str] | None
    deny: list[str] | None
    require_args: dict[str, list[str]] | None
    arg_constraints: dict[str, dict[str, Any]] | None

class RequireRecord(TypedDict):
    type: Literal["require"]
    tool: str

class EventuallyRecord(TypedDict):
    type: Literal["eventually"]
    tool: str
    within: int

class MaxCallsRecord(TypedDict):
    type: Literal["max_calls"]
    tool: str
    max: int

class BeforeRecord(TypedDict):
    type: Literal["before"]
    first: str
    then: str

class AfterRecord(TypedDict):
    type: Literal["after"]
    trigger: str
    then: str
    within: int

class NeverAfterRecord(TypedDict):
    type: Literal["never_after"]
    trigger: str
    forbidden: str

class SequenceRecord(TypedDict):
    type: Literal["sequence"]
    tools: list[str]
    strict: bool

class BlocklistRecord(TypedDict):
    type: Literal["blocklist"]
    pattern: str

RuleRecord = (
    RequireRecord
    | EventuallyRecord
    | MaxCallsRecord
    | BeforeRecord
    | AfterRecord
    | NeverAfterRecord
    | SequenceRecord
    | BlocklistRecord
)

class AskRecord(TypedDict):
    tool: list[str]
    args: dict[str, Any] | None
    after: list[str] | None

class LimitRecord(TypedDict):
    tool: list[str]  # ["*"] when the entry names no tool
    max: int | None
    per: str | None  # as written: "60s"
    repeat: int | None

class TaintRecord(TypedDict):
    label: str
    matches: str  # the RE2 pattern a result's text is searched with
    tool: list[str] | None

# "from" is a keyword, hence the functional form. min_length None: a taint flow.
FlowRecord = TypedDict("FlowRecord", {"from": list[str], "to": list[str], "min_length": int | None,
                                      "args": list[str] | None, "effect": Literal["block", "ask"]})

class _WholeLanguage(TypedDict, total=False):
    # Only in a policy of the whole language that has the section.
    ask: list[AskRecord]
    limits: list[LimitRecord]
    labels: dict[str, list[str]]
    taint: list[TaintRecord]
    flows: list[FlowRecord]

class PolicyRecords(_WholeLanguage):
    version: str
    name: str
    metadata: Any
    tools: ToolsRecord
    sequences: list[RuleRecord]
    aliases: dict[str, list[str]]
    on_error: Literal["block", "allow"]

RuleKind = Literal["require", "eventually", "max_calls", "before", "after", "never_after", "sequence", "blocklist"]

class IgnoredKey(TypedDict):
    # A key of a rule mapping that names no field of the rule's kind: loading drops it with its value.
    rule: int  # index of the rule in `sequences`
    type: RuleKind
    key: str  # as written
    line: int  # 1-based position of the key
    column: int

def policy_records(path: str) -> PolicyRecords: ...
def ignored_keys(path: str) -> list[IgnoredKey]: ...

# The text of the ValueError that Guard(policy) raises for the first argument constraint it cannot
# understand, followed by the constraint's position (" at line L column C"); None when there is none.
def argument_rule_error(path: str) -> str | None: ...

# The id every report gives the rule of a record of policy_records()["sequences"], or of a
# record of policy_records()["flows"] ("flow_{from}_{to}", before the numbering of ids that
# collide in one policy: Guard.entries has the ids as judged).
def rule_id(rule: RuleRecord | FlowRecord) -> str: ...
