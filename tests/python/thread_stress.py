"""Thread stress over the whole surface, run by test_concurrency.py in a child
interpreter, or by hand: `python tests/python/thread_stress.py SECONDS`.

Eight threads with a tiny switch interval mix every operation on one pool of
objects; every failure must be the documented RuntimeError. After each phase
of about half a second every index is checked against the objects' current
values: `clean` indexes (only additions and writes; rebased ones are born
clean) exactly, `mixed` ones (also reduced and unioned) may miss objects
`reduce` dropped but never return one that does not hold the value. Prints
one JSON line: operations, refusals, disagreements, failures."""

import faulthandler
import json
import random
import sys
import threading
import time

from Corvalex import Index, Indexable, PyQueryExpr as Q

THREADS = 8
POOL = 60
A = list(range(5))
B = ["x", "y", "z"]
C = [-1, -0.5, 0, 0.5, 1, 1.5, 2, 3]
RANGES = [(-1, 0), (0, 1.5), (0.5, 0.5), (1, 3), (-5, 5)]
REFUSALS = ("Already borrowed", "Already mutably borrowed")

# Many attributes widen the window between reading an object and
# registering it, where a lost write would leave a stale pair.
FILLER = {f"f{i}": i for i in range(40)}

pool = [
    Indexable(a=random.choice(A), b=random.choice(B), c=random.choice(C), **FILLER)
    for _ in range(POOL)
]


def sample(k):
    return sorted(random.sample(pool, k), key=pool.index)


def new_index(k=20):
    index = Index()
    index.add_object_many(sample(k))
    return index


clean = [new_index() for _ in range(5)]
mixed = [new_index(40) for _ in range(3)]
views = [clean[0].reduced(a=[0, 1, 2])]


def any_index():
    return random.choice(clean + mixed)


QUERIES = [
    lambda: Q.eq("b", random.choice(B)),
    lambda: Q.bt("c", *random.choice(RANGES)),
    lambda: Q.and_(Q.in_("a", random.sample(A, 2)), Q.gt("c", random.choice(C))),
    lambda: Q.or_(Q.lt("c", 0), Q.ne("b", random.choice(B))),
    lambda: Q.not_(Q.ge("c", random.choice(C))),
    lambda: Q.le("a", random.choice(A)),
]


def random_query():
    return random.choice(QUERIES)()


def op_write():
    name = random.choice("abc")
    setattr(random.choice(pool), name, random.choice({"a": A, "b": B, "c": C}[name]))


def op_add():
    random.choice(clean).add_object(random.choice(pool))


def op_add_many():
    random.choice(clean).add_object_many(sample(random.randrange(1, 8)))


def op_lookup():
    any_index().get_by_attribute(a=random.choice(A), b=random.sample(B, 2))


def op_query():
    any_index().reduced_query(random_query()).collect()


def op_view():
    view = any_index().reduced(a=random.sample(A, 3))
    if random.random() < 0.5:
        view = view.reduced_query(random_query())
    else:
        view = view.reduced(b=random.choice(B))
    view.collect()
    views[random.randrange(len(views))] = view
    if len(views) < 6:
        views.append(view)


# The first clean indexes are never replaced, so that they live for a
# whole phase.
KEPT = 2


def op_rebase():
    view = random.choice(views)
    clean[random.randrange(KEPT, len(clean))] = view.rebase()


def op_reduce():
    random.choice(mixed).reduce(a=random.sample(A, 3))


def op_union():
    random.choice(mixed).union_with(random.choice(clean))


def op_drop():
    if random.random() < 0.5:
        clean[random.randrange(KEPT, len(clean))] = new_index(random.randrange(1, 30))
    else:
        mixed[random.randrange(len(mixed))] = new_index(40)


OPERATIONS = [
    (op_write, 30),
    (op_add, 10),
    (op_add_many, 5),
    (op_lookup, 15),
    (op_query, 15),
    (op_view, 8),
    (op_rebase, 4),
    (op_reduce, 4),
    (op_union, 4),
    (op_drop, 2),
]
CHOICES = [op for op, weight in OPERATIONS for _ in range(weight)]


def worker(deadline, seed, tally):
    rng = random.Random(seed)
    while time.monotonic() < deadline:
        op = rng.choice(CHOICES)
        tally["operations"] += 1
        try:
            op()
        except RuntimeError as error:
            if str(error) in REFUSALS:
                tally["refusals"] += 1
            else:
                tally["failures"].append(f"{op.__name__}: {error!r}")
        except Exception as error:  # anything else is a fault
            tally["failures"].append(f"{op.__name__}: {error!r}")


def holders(stored, name, value):
    return [o for o in stored if getattr(o, name) == value]


def check(index, exact, problems):
    stored = index.collect()
    if stored != sorted(stored, key=pool.index):
        problems.append("collect is not in id order")
    for name, domain in (("a", A), ("b", B)):
        for value in domain:
            want = holders(stored, name, value)
            got = index.get_by_attribute(**{name: value})
            if exact and got != want or not exact and any(o not in want for o in got):
                problems.append(f"{name}={value!r}: {len(got)} found, {len(want)} hold it")
            if exact:
                if index.reduced_query(Q.eq(name, value)).collect() != want:
                    problems.append(f"eq {name}={value!r}")
                others = [o for o in stored if getattr(o, name) != value]
                if index.reduced_query(Q.ne(name, value)).collect() != others:
                    problems.append(f"ne {name}={value!r}")
    for lo, hi in RANGES:
        want = [o for o in stored if lo <= o.c <= hi]
        if index.reduced_query(Q.bt("c", lo, hi)).collect() != want:
            problems.append(f"bt c {lo}..{hi}")


def phase(seconds, tallies, problems):
    sys.setswitchinterval(1e-6)
    deadline = time.monotonic() + seconds
    threads = [
        threading.Thread(target=worker, args=(deadline, random.random(), tally))
        for tally in tallies
    ]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    sys.setswitchinterval(0.005)
    for index in clean:
        check(index, True, problems)
    for index in mixed:
        check(index, False, problems)
    for view in views:
        view.collect()


def main(seconds):
    # A hang dumps every thread's traceback and ends the process.
    faulthandler.dump_traceback_later(seconds * 2 + 120, exit=True)
    tallies = [{"operations": 0, "refusals": 0, "failures": []} for _ in range(THREADS)]
    problems = []
    phases = max(1, round(seconds / 0.5))
    for _ in range(phases):
        phase(seconds / phases, tallies, problems)
    faulthandler.cancel_dump_traceback_later()
    print(
        json.dumps(
            {
                "operations": sum(t["operations"] for t in tallies),
                "refusals": sum(t["refusals"] for t in tallies),
                "disagreements": len(problems),
                "examples": problems[:5],
                "failures": [f for t in tallies for f in t["failures"]][:10],
            }
        )
    )


if __name__ == "__main__":
    main(float(sys.argv[1]) if len(sys.argv) > 1 else 3.0)
