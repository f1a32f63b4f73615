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
3. in an enforcing session, raises ``PolicyViolation`` when the decision blocks
   the call, and otherwise runs the function and returns its result. In an
   observing session it always runs the function, and logs each blocked decision
   as a warning on the ``ostik`` logger. For an ``async def`` function the check
   happens when the returned coroutine starts running.

A call whose verdict is "ask" (an ask entry of the policy applies) waits for the
session's approver (``guard.session(approver=...)``): it is given the Decision and
returns a bool, or an awaitable of one (awaited by an ``async def`` tool; a plain
tool runs it to completion when no event loop is running in its thread). True
approves the call (``session.approve``) and it runs; false denies it
(``session.deny``) and the call raises ``PolicyViolation`` with the denied
decision. Without an approver the call raises ``PolicyViolation`` whose decision
says approval is needed. Observing, an ask is logged and the call runs.

When the args cannot be judged (``check`` raises ``ValueError``: an argument of a
type with no JSON form, for example), the policy's ``on_error`` decides: ``block``
refuses the call with a ``PolicyViolation`` whose decision is blocked by
"on_error", ``allow`` runs it unjudged, and the session does not count it; its
trace file, if any, gets a line ``{"tool": ..., "unjudged": REASON}`` for it.
Observing, such a call runs whatever ``on_error`` says, with the same line and a
warning.

The wrapper is a descriptor, like a function: decorating a method in a class
body binds it per instance, and ``self`` is not among the args.
The function's signature is read once, when it is wrapped.
"""

from __future__ import annotations

import functools
import inspect
import logging
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, TypeVar, cast

if TYPE_CHECKING:
    from ostik._engine import Decision, Session

F = TypeVar("F", bound=Callable[..., Any])

logger = logging.getLogger("ostik")


class PolicyViolation(Exception):
    """A tool call that the policy blocked; ``decision`` says which rule and why."""

    decision: Decision

    def __init__(self, decision: Decision) -> None:
        if decision.needs_approval:
            super().__init__(f"needs approval ({decision.blocked_by}): {decision.reason}")
        else:
            super().__init__(f"blocked by {decision.blocked_by}: {decision.reason}")
        self.decision = decision

    def __reduce__(self) -> tuple[Any, ...]:
        # Rebuilt from its decision, so that it crosses processes (a worker's
        # exception) whole: the default would call the class with the message.
        return (type(self), (self.decision,), self.__dict__)


def _type_name(obj: object) -> str:
    return type(obj).__qualname__


class _Admission:
    """What every call of one wrapped function goes through before it runs."""

    def __init__(self, session: Session, fn: Callable[..., Any], tool: str, on_error: str) -> None:
        self.session = session
        self.tool = tool
        self.on_error = on_error
        self.observing = session.mode == "observe"
        self.signature = inspect.signature(fn)

    def admit(self, args: tuple[Any, ...], kwargs: dict[str, Any], bound_to: object = None,
              method: bool = False) -> Decision | None:
        """Raises PolicyViolation when the call may not run; returns the decision of a call
        that waits for the approver, None when it may run. For a method, ``bound_to`` is its
        instance: bound to the first parameter and left out of the args."""
        if method:
            bound = self.signature.bind(bound_to, *args, **kwargs)
            bound.apply_defaults()
            judged = dict(bound.arguments)
            judged.pop(next(iter(self.signature.parameters)))
        else:
            bound = self.signature.bind(*args, **kwargs)
            bound.apply_defaults()
            judged = bound.arguments
        try:
            decision = self.session.check(self.tool, judged)
        except ValueError as error:
            if self.on_error == "allow" or self.observing:
                self.session._unjudged(self.tool, str(error))
                if self.observing:
                    logger.warning("ostik: %r ran unjudged: %s", self.tool, error)
                return None
            raise PolicyViolation(self.session._refusal(str(error), self.tool)) from error
        if decision.allowed:
            return None
        if self.observing:
            if decision.needs_approval:
                logger.warning("ostik: %r would need approval (%s): %s", self.tool, decision.blocked_by,
                               decision.reason)
            else:
                logger.warning("ostik: %r would be blocked by %s: %s", self.tool, decision.blocked_by,
                               decision.reason)
            return None
        if decision.needs_approval and self.session.approver is not None:
            return decision
        raise PolicyViolation(decision)

    def answer(self, decision: Decision, approved: object) -> None:
        """Resolves the waiting call as the approver answered; raises PolicyViolation when denied."""
        call_id = decision.call_id
        assert call_id is not None  # every ask has one
        if approved is True:
            self.session.approve(call_id)
            return
        reason = None if approved is False else f"the approver returned {_type_name(approved)}, not a bool"
        raise PolicyViolation(self.session.deny(call_id, reason=reason))

    def approve_sync(self, decision: Decision) -> None:
        approver = self.session.approver
        assert approver is not None
        answer: object = approver(decision)
        if inspect.isawaitable(answer):
            # Imported here: asyncio costs most of `import ostik`, which a hook process pays per call.
            import asyncio

            try:
                asyncio.get_running_loop()
            except RuntimeError:
                answer = asyncio.run(_awaited(answer))
            else:
                # Nothing can wait for it here: the call is denied.
                close = getattr(answer, "close", None)
                if close is not None:
                    close()
        self.answer(decision, answer)

    async def approve_async(self, decision: Decision) -> None:
        approver = self.session.approver
        assert approver is not None
        answer = approver(decision)
        if inspect.isawaitable(answer):
            answer = await answer
        self.answer(decision, answer)


class GuardedTool:
    """A tool function judged by a session before each call (see the module's doc)."""

    __wrapped__: Callable[..., Any]

    def __init__(self, admission: _Admission, fn: Callable[..., Any]) -> None:
        self._admission = admission
        self._fn = fn
        self._coroutine = inspect.iscoroutinefunction(fn)
        functools.update_wrapper(self, fn)
        if self._coroutine:
            inspect.markcoroutinefunction(self)

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        return _run(self._admission, self._fn, self._coroutine, args, kwargs, None, False)

    def __get__(self, instance: object, owner: type | None = None) -> Any:
        if instance is None:
            return self
        return _BoundTool(self, instance, owner)

    def __repr__(self) -> str:
        return f"<guarded tool {self._admission.tool!r} of {self._fn!r}>"


class _BoundTool:
    """A guarded method bound to its instance."""

    def __init__(self, tool: GuardedTool, instance: object, owner: type | None) -> None:
        self._tool = tool
        self._instance = instance
        bound_method = tool._fn.__get__(instance, owner)
        functools.update_wrapper(self, bound_method)
        self.__wrapped__ = bound_method
        if tool._coroutine:
            inspect.markcoroutinefunction(self)

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        t = self._tool
        return _run(t._admission, t._fn, t._coroutine, args, kwargs, self._instance, True)

    def __repr__(self) -> str:
        return f"<bound guarded tool {self._tool._admission.tool!r} of {self._instance!r}>"


def _run(admission: _Admission, fn: Callable[..., Any], coroutine: bool, args: tuple[Any, ...],
         kwargs: dict[str, Any], instance: object, method: bool) -> Any:
    call_args = (instance, *args) if method else args
    if coroutine:
        async def judged_then_run() -> Any:
            waiting = admission.admit(args, kwargs, instance, method)
            if waiting is not None:
                await admission.approve_async(waiting)
            return await fn(*call_args, **kwargs)

        return judged_then_run()
    waiting = admission.admit(args, kwargs, instance, method)
    if waiting is not None:
        admission.approve_sync(waiting)
    return fn(*call_args, **kwargs)


async def _awaited(awaitable: Any) -> Any:
    return await awaitable


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
    return cast(F, GuardedTool(_Admission(session, fn, name, on_error), fn))


def decorator(session: Session, name: str | None, on_error: str) -> Callable[[F], F]:
    """What ``@session.tool(...)`` applies to the function below it."""

    def decorate(fn: F) -> F:
        return wrap(session, fn, name, on_error)

    return decorate
