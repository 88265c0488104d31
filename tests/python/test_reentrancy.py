"""Code run by the collector while the module works: it may call back into
the module on the same thread, and must get a result or a RuntimeError,
never wait forever for a lock its own thread holds."""

import pytest

# Arms `count` unreachable cycles whose finaliser runs `action`, with the
# collector set to run at the next allocation of a tracked object.
PRELUDE = """
import gc, sys
from Corvalex import Index, Indexable

from Corvalex import PyQueryExpr as Q

idx = Index()
idx.add_object_many([Indexable(a=i) for i in range(10)])
view = idx.reduced(a=[1, 2, 3])
copy = idx.reduced(a=list(range(10))).rebase()
seen = []

def arm(action, count=3):
    class Finaliser:
        def __del__(self):
            try:
                seen.append(action())
            except RuntimeError as error:
                seen.append(str(error))
    gc.collect()
    gc.disable()
    for _ in range(count):
        cycle = Finaliser()
        cycle.self = cycle
    gc.set_threshold(1)
    gc.enable()
"""

CALLS = {
    "view.collect": "view.collect()",
    "index.collect": "idx.collect()",
    "get_by_attribute": "idx.get_by_attribute(a=[1, 2, 3])",
    "reduced": "idx.reduced(a=[1, 2, 3]).collect()",
    "add_object_many": "idx.add_object_many([Indexable(a=1) for _ in range(50)])",
    "attribute write": "setattr(idx.collect()[0], 'a', 1)",
    "reduced_query": "idx.reduced_query(Q.or_(Q.bt('a', 1, 3), Q.ne('a', 5))).collect()",
    "view.reduced": "view.reduced(a=[1, 2]).collect()",
    "view.reduced_query": "view.reduced_query(Q.not_(Q.eq('a', 1))).collect()",
    "view.rebase": "view.rebase().collect()",
    "reduce": "idx.reduce(a=list(range(100)))",
    "union_with": "idx.union_with(copy)",
}

ACTIONS = {
    "add_object": "lambda: idx.add_object(Indexable(a=99)) or len(idx.get_by_attribute(a=99))",
    "add_object_many": "lambda: idx.add_object_many([Indexable(a=98)]) or 'many'",
    "lookup": "lambda: len(idx.get_by_attribute(a=1))",
    "write": "lambda: setattr(idx.collect()[1], 'a', 2) or 'written'",
    "view": "lambda: len(view.collect())",
    "query": "lambda: len(idx.reduced_query(Q.gt('a', 2)).collect())",
    "narrow view": "lambda: len(view.reduced_query(Q.lt('a', 3)).reduced(a=2).collect())",
    "rebase": "lambda: len(view.rebase().collect())",
    # Keeps every object: the check below needs all of them findable.
    "reduce": "lambda: idx.reduce(a=list(range(100))) or 'reduced'",
    "union": "lambda: idx.union_with(copy) or 'united'",
}


@pytest.mark.parametrize("call", CALLS)
@pytest.mark.parametrize("action", ACTIONS)
def test_finaliser_reentering_the_index_during_a_call(run_isolated, call, action):
    lines = run_isolated(
        PRELUDE
        + f"""
arm({ACTIONS[action]})
result = {CALLS[call]}
gc.set_threshold(700)
gc.collect()
print(len(seen))
# The index agrees with its objects afterwards.
stored = idx.collect()
for value in {{o.a for o in stored}}:
    assert idx.get_by_attribute(a=value) == [o for o in stored if o.a == value], value
    assert idx.reduced_query(Q.bt("a", value, value)).collect() == idx.get_by_attribute(a=value)
print("consistent")
""",
        timeout=30,
    )
    assert lines == ["3", "consistent"]
