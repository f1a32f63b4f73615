"""A first policy from traces believed good: what every trace read shows, written as rules.

`observations` counts what the traces show (the tools, their calls per trace,
which tool comes first, the arguments' values), `suggestion` turns that into
rules that hold in every trace read, each with its support, and `policy_text`
writes them as a policy file. Which tool a step calls is the guard's reading of
it, so the rules name exactly what the policy will be judged against.
"""
