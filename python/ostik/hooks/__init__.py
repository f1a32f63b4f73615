"""`ostik hook AGENT POLICY`: the command a coding agent's tool hook runs, once per tool call.

``agents`` reads each agent's hook input and writes its answer; ``running``
judges the call in the session stored under the agent's session id and picks
the exit status; ``command`` is the command line. The package imports only
the standard library and ostik's core: a hook starts a new interpreter for
every call, so what it imports is most of what it costs.
"""
