"""ostik inside agent frameworks: guard their tool calls, record their traces.

One module per framework, each needing its framework installed (the extra of
the same name):

- ``ostik.integrations.langchain``: ``GuardMiddleware``, a LangChain 1.x agent
  middleware judging every tool call of an agent (``pip install 'ostik[langchain]'``);
- ``ostik.integrations.openai_agents``: ``PolicyGuardrail``, an OpenAI Agents SDK
  tool input guardrail, and ``guard_agent`` returning a guarded copy of an agent
  (``pip install 'ostik[openai-agents]'``);
- ``ostik.integrations.claude_agent_sdk``: ``GuardHooks``, Claude Agent SDK hooks
  (PreToolUse, PostToolUse, Stop), and ``guard_options`` adding them to a copy of
  the options (``pip install 'ostik[claude-agent-sdk]'``);
- ``ostik.integrations.adk``: ``PolicyPlugin``, a Google ADK runner plugin
  (``pip install 'ostik[adk]'``);
- ``ostik.integrations.pydantic_ai``: ``PolicyCapability`` and ``PolicyToolset``,
  a Pydantic AI capability and toolset wrapper (``pip install 'ostik[pydantic-ai]'``);
- ``ostik.integrations.otel``: ``ToolSpanRecorder``, an OpenTelemetry span
  processor writing the tool calls of any GenAI-instrumented framework to trace
  files, and ``OtlpJsonLinesExporter``, writing finished spans as OTLP/JSON lines
  (``pip install 'ostik[otel]'``).

What they share (sessions by run or conversation, stores, call ids, the
model's order, trace files per key) is ``ostik.integrations.runs``. Importing
``ostik`` or this package imports none of them.
"""
