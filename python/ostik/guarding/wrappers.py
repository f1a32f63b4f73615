"""Tool functions wrapped so that a guard session judges every call before it runs.

``Session.guarded(fn, name=None)`` and the ``@session.tool`` decorator come here.
A wrapped function, when called:

1. binds the call's arguments to the function's parameters
   (``inspect.signature(fn).bind``) and fills in the defaults of the parameters
   not given, so the args are a dict of every parameter by name: a ``*args``
   parameter appears as a list under its name, a ``**kwargs`` parameter as a dict
   under its name (both empty when nothing went to them). A call that does not fit
   the signature raises the binding's ``TypeError`` and is not judged;
2. checks the call as tool ``name`` (the function's ``__name__`` by default) with
   those args: ``session.check(name, args)``;
3. raises ``PolicyViolation`` when the decision blocks the call, and otherwise
   runs the function and returns its result. For an ``async def`` function the
   check happens when the returned coroutine starts running.

When the args cannot be judged (``check`` raises ``ValueError``: an argument of a
type with no JSON form, for example), the policy's ``on_error`` decides: ``block``
refuses the call with a ``PolicyViolation`` whose decision is blocked by
"on_error", ``allow`` runs it unjudged, and the session does not count it.

The function's signature is read once, when it is wrapped. Wrap bound methods
(``session.guarded(agent.search)``), not functions that take ``self``: ``self``
would be one of the args.
"""

from __future__ import annotations

import functools
import inspect
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, TypeVar, cast

if TYPE_CHECKING:
    from ostik._engine import Decision, Session

F = TypeVar("F", bound=Callable[..., Any])


class PolicyViolation(Exception):
    """A tool call that the policy blocked; ``decision`` says which rule and why."""

    decision: Decision

    def __init__(self, decision: Decision) -> None:
        super().__init__(f"blocked by {decision.blocked_by}: {decision.reason}")
        self.decision = decision

    def __reduce__(self) -> tuple[Any, ...]:
        # Rebuilt from its decision, so that it crosses processes (a worker's
        # exception) whole: the default would call the class with the message.
        return (type(self), (self.decision,), self.__dict__)


def _type_name(obj: object) -> str:
    return type(obj).__qualname__


def wrap(session: Session, fn: F, name: str | None, on_error: str) -> F:
    """``fn`` wrapped so that ``session`` judges each call first (see the module's doc)."""
    if not callable(fn):
        raise TypeError(f"argument 'fn': '{_type_name(fn)}' object cannot be converted to 'Callable'")
    if name is None:
        name = getattr(fn, "__name__", None)
        if not isinstance(name, str):
            raise TypeError(f"'{_type_name(fn)}' object has no __name__: give the tool's name")
    elif not isinstance(name, str):
        raise TypeError(f"argument 'name': '{_type_name(name)}' object cannot be converted to 'str'")
    tool: str = name
    signature = inspect.signature(fn)

    def admit(args: tuple[Any, ...], kwargs: dict[str, Any]) -> None:
        bound = signature.bind(*args, **kwargs)
        bound.apply_defaults()
        try:
            decision = session.check(tool, bound.arguments)
        except ValueError as error:
            if on_error == "allow":
                return
            raise PolicyViolation(session._refusal(str(error), tool)) from error
        if not decision.allowed:
            raise PolicyViolation(decision)

    if inspect.iscoroutinefunction(fn):
        @functools.wraps(fn)
        async def guarded_coroutine(*args: Any, **kwargs: Any) -> Any:
            admit(args, kwargs)
            return await fn(*args, **kwargs)

        return cast(F, guarded_coroutine)

    @functools.wraps(fn)
    def guarded(*args: Any, **kwargs: Any) -> Any:
        admit(args, kwargs)
        return fn(*args, **kwargs)

    return cast(F, guarded)


def decorator(session: Session, name: str | None, on_error: str) -> Callable[[F], F]:
    """What ``@session.tool(...)`` applies to the function below it."""

    def decorate(fn: F) -> F:
        return wrap(session, fn, name, on_error)

    return decorate
