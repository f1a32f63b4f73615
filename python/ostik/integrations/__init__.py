"""ostik inside agent frameworks: guard their tool calls, record their traces.

One module per framework, each needing its framework installed (the extra of
the same name):

- ``ostik.integrations.langchain``: ``GuardMiddleware``, a LangChain 1.x agent
  middleware judging every tool call of an agent run
  (``pip install 'ostik[langchain]'``);
- ``ostik.integrations.openai_agents``: ``PolicyGuardrail``, an OpenAI Agents SDK
  tool input guardrail, and ``guard_agent`` attaching it to an agent's tools
  (``pip install 'ostik[openai-agents]'``);
- ``ostik.integrations.otel``: ``ToolSpanRecorder``, an OpenTelemetry span
  processor writing the tool calls of any GenAI-instrumented framework to trace
  files (``pip install 'ostik[otel]'``).

Importing ``ostik`` or this package imports none of them.
"""
