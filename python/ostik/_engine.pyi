# Type stubs for the C++ extension module ostik._engine.
import os
from collections.abc import Awaitable, Callable, Mapping, Sequence
from typing import Any, Literal, Protocol, SupportsFloat, SupportsIndex, TypedDict, TypeVar, final, overload

from ostik._native import Policy, TraceExplainer

__all__: list[str] = ["Guard", "Session", "Decision", "RuleFailure", "Judgement", "CoverageAccumulator",
                      "AuditAccumulator", "DiffAccumulator", "UnreadableArguments", "stream_explanation",
                      "policy_bytes"]

_F = TypeVar("_F", bound=Callable[..., Any])

class ArgumentRule(TypedDict):
    # One of the policy's argument rules, in the order the guard judges them.
    rule_id: str  # "require_args_{tool}" or "arg_{tool}_{argument}", lower-cased
    rule_type: Literal["require_args", "arg_constraint"]
    tool: str  # the name the policy gives: a tool or an alias
    arguments: list[str]  # require_args: the names listed; arg_constraint: its one argument
    operators: list[str]  # arg_constraint: its operators, in the order they are tried

class ArgumentRuleCoverage(ArgumentRule):
    reached: int  # calls the rule judged (for a constraint: calls that have its argument)
    violated: int  # of those, the calls it failed

class Entry(TypedDict):
    rule_id: str
    rule_type: Literal["ask", "limit", "repeat", "flow"]
    tools: list[str]

class EntryCoverage(Entry):
    reached: int  # steps of a tool the entry names
    triggered: int  # of those, the steps it asked about or refused

# Given the Decision of a call whose verdict is "ask"; True approves it.
_Approver = Callable[[Decision], bool | Awaitable[bool]]
_Clock = Callable[[], float]

@final
class Guard:
    """A policy's verdicts on tool calls as they happen."""

    # ValueError when an argument constraint cannot be understood.
    # max_tracked_bytes: the most result text (bytes, in NFC) a session's value
    # flows track, 0 to 2**32-2; past it the session fails closed.
    def __init__(self, policy: Policy, *, max_tracked_bytes: int = 67108864) -> None: ...
    # The whole language (ask, limits, labels, taint, flows besides the seven keys); located ValueError.
    @classmethod
    def from_file(cls, path: str | os.PathLike[str], *, max_tracked_bytes: int = 67108864) -> Guard: ...
    def session(self, trace_file: str | os.PathLike[str] | None = None, keep: bool = False, *,
                mode: Literal["enforce", "observe"] = "enforce", approver: _Approver | None = None,
                clock: _Clock | None = None) -> Session: ...
    # ValueError for bytes that are damaged, not a session's, or made with another policy.
    def resume(self, data: bytes | bytearray | memoryview, trace_file: str | os.PathLike[str] | None = None, *,
               approver: _Approver | None = None, clock: _Clock | None = None) -> Session: ...
    def entry_coverage(self, traces: Sequence[Sequence[Mapping[str, object]]]) -> list[EntryCoverage]: ...
    # Whether an ask, limit, label, taint or flow entry names the tool (not through a lone "*").
    def entries_name(self, tool: str) -> bool: ...
    @property
    def policy(self) -> Policy: ...
    @property
    def rule_ids(self) -> list[str]: ...
    @property
    def entries(self) -> list[Entry]: ...
    def judge(self, trace: Sequence[Mapping[str, object]]) -> Judgement: ...
    def argument_coverage(self, traces: Sequence[Sequence[Mapping[str, object]]]) -> list[ArgumentRuleCoverage]: ...
    @property
    def argument_rules(self) -> list[ArgumentRule]: ...
    @property
    def on_error(self) -> Literal["block", "allow"]: ...
    # Whether the policy has flows, which judge calls by the results recorded before them.
    @property
    def has_flows(self) -> bool: ...

@final
class Session:
    """One agent run under a Guard; made by Guard.session()."""

    def check(self, tool: str, args: object = None, *, call_id: str | None = None) -> Decision: ...
    def peek(self, tool: str, args: object = None, *, call_id: str | None = None) -> Decision: ...
    def finish(self) -> list[RuleFailure]: ...
    def explain(self) -> str: ...
    def guarded(self, fn: _F, name: str | None = None) -> _F: ...
    # @session.tool, @session.tool("name") or @session.tool(name="name").
    @overload
    def tool(self, fn: _F, name: None = None) -> _F: ...
    @overload
    def tool(self, fn: str | None = None, name: str | None = None) -> Callable[[_F], _F]: ...
    def to_bytes(self) -> bytes: ...
    @property
    def steps(self) -> int: ...
    @property
    def refused(self) -> int: ...
    @property
    def mode(self) -> Literal["enforce", "observe"]: ...
    def record_result(self, call_id_or_step: str | int, result: object, *, is_error: bool = False) -> None: ...
    def approve(self, call_id: str) -> Decision: ...
    def deny(self, call_id: str, reason: str | None = None) -> Decision: ...
    @property
    def pending(self) -> list[str]: ...
    @property
    def approver(self) -> _Approver | None: ...
    def _refusal(self, reason: str, tool: str | None = None) -> Decision: ...
    def _unjudged(self, tool: str, reason: str) -> None: ...

@final
class Decision:
    """The judgement of one call; true when the call is allowed."""

    @property
    def allowed(self) -> bool: ...
    @property
    def verdict(self) -> Literal["allowed", "blocked", "ask"]: ...
    @property
    def needs_approval(self) -> bool: ...
    @property
    def step(self) -> int: ...
    @property
    def tool(self) -> str: ...
    @property
    def blocked_by(self) -> str | None: ...
    @property
    def reason(self) -> str: ...
    @property
    def message(self) -> str: ...
    @property
    def call_id(self) -> str | None: ...
    @property
    def failures(self) -> list[RuleFailure]: ...
    def __bool__(self) -> bool: ...

@final
class RuleFailure:
    """One failed rule or check of a step."""

    @property
    def rule_id(self) -> str: ...
    @property
    def rule_type(self) -> str: ...
    @property
    def explanation(self) -> str: ...
    @property
    def context(self) -> dict[str, Any] | None: ...

@final
class Judgement:
    """A whole trace judged by Guard.judge(); true when the trace passes."""

    @property
    def passed(self) -> bool: ...
    @property
    def steps(self) -> int: ...
    @property
    def blocked_steps(self) -> int: ...
    @property
    def first_block(self) -> int | None: ...
    @property
    def decisions(self) -> list[Decision]: ...
    @property
    def end_failures(self) -> list[RuleFailure]: ...
    @property
    def blocking_rules(self) -> list[str]: ...
    @property
    def asked_steps(self) -> int: ...
    @property
    def windows_unjudged(self) -> bool: ...
    def __bool__(self) -> bool: ...

# Where accumulators take a policy, they also take the bytes policy_bytes() made of one.
_PolicyLike = Policy | Guard | bytes | bytearray | memoryview
_Buffer = bytes | bytearray | memoryview

@final
class CoverageAccumulator:
    """Coverage of a policy by traces added in any grouping and merged."""

    def __init__(self, policy: _PolicyLike) -> None: ...
    def add(self, trace: Sequence[Mapping[str, object]]) -> None: ...
    def add_many(self, traces: Sequence[Sequence[Mapping[str, object]]]) -> None: ...
    def merge(self, other: CoverageAccumulator) -> None: ...
    def report(self, threshold: SupportsFloat | SupportsIndex) -> str: ...
    def argument_coverage(self) -> list[ArgumentRuleCoverage]: ...
    def entry_coverage(self) -> list[EntryCoverage]: ...
    def to_bytes(self) -> bytes: ...
    @classmethod
    def from_bytes(cls, policy: _PolicyLike, data: _Buffer) -> CoverageAccumulator: ...
    def __reduce__(self) -> tuple[Callable[[bytes, bytes], CoverageAccumulator], tuple[bytes, bytes]]: ...
    @property
    def traces(self) -> int: ...
    @property
    def steps(self) -> int: ...

# A failing trace's reference as add() was given it: a position, a label, or (file, line).
_TraceRef = int | str | tuple[str, int]

class _FailingTrace(TypedDict):
    ref: _TraceRef
    first_block: int | None
    rule_id: str

class _AuditSummary(TypedDict):
    traces: int
    failed_traces: int
    steps: int
    blocked_steps: int
    asked_steps: int  # steps an ask entry applied to: they ran, and fail nothing
    untimed_traces: int  # traces where a windowed limit met a step without "ts"
    blocked_by: dict[str, int]
    end_failures: dict[str, int]
    failing: list[_FailingTrace]
    keep: int

@final
class AuditAccumulator:
    """Which traces break a policy, counted over traces added in any grouping and merged."""

    def __init__(self, policy: _PolicyLike, keep: int = 100) -> None: ...
    def add(self, trace: Sequence[Mapping[str, object]], ref: _TraceRef | None = None) -> None: ...
    def add_many(self, traces: Sequence[Sequence[Mapping[str, object]]],
                 refs: Sequence[_TraceRef | None] | None = None) -> None: ...
    def merge(self, other: AuditAccumulator) -> None: ...
    def summary(self) -> _AuditSummary: ...
    def to_bytes(self) -> bytes: ...
    @classmethod
    def from_bytes(cls, policy: _PolicyLike, data: _Buffer) -> AuditAccumulator: ...
    def __reduce__(self) -> tuple[Callable[[bytes, bytes], AuditAccumulator], tuple[bytes, bytes]]: ...

class _DiffDecision(TypedDict):
    verdict: Literal["blocked", "ask"]
    rule_id: str  # the blocking rule, or the ask entry that applied
    reason: str

class _StepChange(TypedDict):
    # The first step of the changes alike (same tool, same rule under each policy).
    step: int
    tool: str
    old: _DiffDecision | None  # None: allowed
    new: _DiffDecision | None
    later_steps: list[int]

class _EndFailure(TypedDict):
    rule_id: str
    reason: str

class _ChangedTrace(TypedDict):
    ref: _TraceRef
    old_passed: bool
    new_passed: bool
    steps: int
    changes: list[_StepChange]
    # Both lists empty unless the failed end-of-trace checks differ.
    old_end_failures: list[_EndFailure]
    new_end_failures: list[_EndFailure]

class _RuleChange(TypedDict):
    newly_blocks: int
    no_longer_blocks: int
    newly_fails_at_end: int
    no_longer_fails_at_end: int
    newly_asks: int
    no_longer_asks: int

class _DiffSummary(TypedDict):
    traces: int
    steps: int
    old_failed_traces: int
    new_failed_traces: int
    changed_traces: int
    newly_failing: int
    newly_passing: int
    changed_steps: int
    newly_blocked_steps: int
    unblocked_steps: int
    reblocked_steps: int
    # Steps blocked under neither policy whose ask changes.
    newly_asked_steps: int
    no_longer_asked_steps: int
    reasked_steps: int
    untimed_traces: int
    by_rule: dict[str, _RuleChange]
    changed: list[_ChangedTrace]
    keep: int

@final
class DiffAccumulator:
    """What replacing one policy by another changes on traces, counted in any grouping and merged."""

    def __init__(self, old: _PolicyLike, new: _PolicyLike, keep: int = 100) -> None: ...
    def add(self, trace: Sequence[Mapping[str, object]], ref: _TraceRef | None = None) -> None: ...
    def add_many(self, traces: Sequence[Sequence[Mapping[str, object]]],
                 refs: Sequence[_TraceRef | None] | None = None) -> None: ...
    def merge(self, other: DiffAccumulator) -> None: ...
    def summary(self) -> _DiffSummary: ...
    # The changed traces as `ostik diff` lists them, one text per entry of summary()["changed"].
    def listing(self, file: str, colour: bool = False) -> list[str]: ...
    def to_bytes(self) -> bytes: ...
    @classmethod
    def from_bytes(cls, old: _PolicyLike, new: _PolicyLike, data: _Buffer) -> DiffAccumulator: ...
    def __reduce__(self) -> tuple[Callable[[bytes, bytes, bytes], DiffAccumulator], tuple[bytes, bytes, bytes]]: ...

@final
class UnreadableArguments:
    """The arguments of a call that could not be read; the guard's readers leave the call
    unjudged and the policy's on_error decides it."""

    def __init__(self, problem: str) -> None: ...
    @property
    def problem(self) -> str: ...
    def __reduce__(self) -> tuple[type[UnreadableArguments], tuple[str]]: ...

class _BinaryWriter(Protocol):
    def write(self, data: bytes, /) -> object: ...

# Writes the report of explainer.explain(trace), UTF-8 encoded, to a path
# (created or truncated) or a binary file object; returns the number of bytes
# written. OSError for a path that cannot be opened or written; a file
# object's own exceptions pass through.
def stream_explanation(
    explainer: TraceExplainer, trace: Sequence[Mapping[str, object]], out: str | os.PathLike[str] | _BinaryWriter
) -> int: ...

# The policy's records as compact bytes, taken by the accumulators in place of the Policy.
def policy_bytes(policy: Policy) -> bytes: ...
