"""The index users hand-roll: attribute -> value -> ordered set of objects.

Each bucket is a dict used as an insertion-ordered set, so at build time
(objects added in construction order) a bucket already lists its objects in
construction order and an exact lookup is just ``list(bucket)``.  A write
moves the object between buckets and marks the new bucket for re-sorting on
its next read.  Ranges use a sorted list of an attribute's distinct numbers
(NaN left out: it is in no range, and it would break the order) and
``bisect``.  Dotted paths (``owner.age``) first find the matching owners,
then union their ``owner`` buckets (and, for ``!=``, the bucket of items
that hold no nested object).  A conjunction is driven by its most
selective indexed condition; the other conditions are tested on the
candidates with a comprehension.
"""

from __future__ import annotations

import bisect
from itertools import chain

from ..queries import OPS, And, Between, Cmp, In, Not, Or, OwnerRef
from .base import _SEQ, Engine
from .scan import compile_predicate


# Use a scan instead of the index when the best index candidates exceed
# 1/SCAN_RATIO of all objects.
SCAN_RATIO = 8


class PyIndexEngine(Engine):
    name = "pyindex"
    label = "hand-written pure-Python index"

    def build(self, items, owners):
        self.items = items
        self.owners = owners
        self.index = {}
        for attr in self.schema.attrs:
            buckets = {}
            get = buckets.get
            for o in items:
                v = getattr(o, attr)
                b = get(v)
                if b is None:
                    buckets[v] = {o: None}
                else:
                    b[o] = None
            self.index[attr] = buckets
        self.dirty = set()        # (attr, value) of buckets out of order
        self.sorted_keys = {}     # attr -> sorted distinct values (cache)

    def close(self):
        self.index = self.items = None

    # -- reading -------------------------------------------------------------
    def _bucket(self, attr, value):
        b = self.index[attr].get(value)
        if b is None:
            return ()
        if (attr, value) in self.dirty:
            b = dict.fromkeys(sorted(b, key=_SEQ))
            self.index[attr][value] = b
            self.dirty.discard((attr, value))
        return b

    def _keys(self, attr):
        keys = self.sorted_keys.get(attr)
        if keys is None:
            keys = self.sorted_keys[attr] = sorted(
                k for k in self.index[attr] if k is not None and k == k)
        return keys

    def _values(self, e):
        """Distinct indexed values of a simple node's attribute that match it."""
        if isinstance(e, Cmp) and e.op == "==":
            return [e.value]
        if isinstance(e, In):
            return list(e.values)
        keys = self._keys(e.attr)
        if isinstance(e, Between):
            return keys[bisect.bisect_left(keys, e.lo):bisect.bisect_right(keys, e.hi)]
        op, v = e.op, e.value
        if op == "<":
            return keys[:bisect.bisect_left(keys, v)]
        if op == "<=":
            return keys[:bisect.bisect_right(keys, v)]
        if op == ">":
            return keys[bisect.bisect_right(keys, v):]
        if op == ">=":
            return keys[bisect.bisect_left(keys, v):]
        if op == "!=":
            return [k for k in self.index[e.attr] if k != v]
        raise ValueError(op)

    def _resolve(self, v):
        return self.owners[v.pos] if isinstance(v, OwnerRef) else v

    def _leaf(self, e):
        """Ordered list of objects matching a leaf node."""
        if "." in e.attr:
            # owner.X: match the owners (1,000 of them) directly, then union
            # their buckets.
            head, tail = e.attr.split(".", 1)
            if isinstance(e, Between):
                owners = [w for w in self.owners if e.lo <= getattr(w, tail) <= e.hi]
            elif isinstance(e, In):
                owners = [w for w in self.owners if getattr(w, tail) in e.values]
            else:
                f, v = OPS[e.op], e.value
                owners = [w for w in self.owners if f(getattr(w, tail), v)]
                if e.op == "!=":
                    owners.append(None)
            values = owners
            attr = head
        else:
            attr = e.attr
            values = [self._resolve(v) for v in self._values(e)]
        buckets = [b for b in (self._bucket(attr, v) for v in values) if b]
        if not buckets:
            return []
        if len(buckets) == 1:
            return list(buckets[0])
        # Each bucket is in order: timsort merges the runs.
        return sorted(chain.from_iterable(buckets), key=_SEQ)

    def _estimate(self, e):
        """Upper bound on the number of matches, from bucket sizes."""
        if isinstance(e, (Cmp, In, Between)) and "." not in e.attr:
            buckets = self.index[e.attr]
            return sum(len(buckets.get(self._resolve(v), ())) for v in self._values(e))
        if isinstance(e, Or):
            return sum(self._estimate(c) for c in e.children)
        return len(self.items)

    def _scan_plan(self, e):
        cond, values = compile_predicate(e, self.owners, self.schema)
        params = "".join(f", v{k}" for k in range(len(values)))
        ns = {}
        exec(f"def _f(objs{params}):\n    return [o for o in objs if {cond}]\n", ns)
        f, items = ns["_f"], self.items
        return lambda: f(items, *values)

    def _plan(self, e):
        """A callable returning the ordered list of objects matching ``e``."""
        scan = self._scan_plan(e)
        if isinstance(e, (Cmp, In, Between)):
            if isinstance(e, Cmp) and e.op == "==" or "." in e.attr:
                return lambda: self._leaf(e)

            def run_leaf():
                # Merging many buckets back into construction order costs
                # more than a scan once they hold a good part of the objects.
                if self._estimate(e) * SCAN_RATIO > len(self.items):
                    return scan()
                return self._leaf(e)
            return run_leaf
        if isinstance(e, Or):
            subs = [self._plan(c) for c in e.children]

            def run_or():
                merged = set()
                for sub in subs:
                    merged.update(sub())
                return sorted(merged, key=_SEQ)
            return run_or
        # AND (or a lone NOT): drive from the most selective indexed child and
        # test the other conditions on the candidate objects themselves, as a
        # query planner would.
        children = e.children if isinstance(e, And) else (e,)
        drivers = [i for i, c in enumerate(children) if not isinstance(c, Not)]
        filters = {}
        for i in drivers + [None]:
            rest = [c for j, c in enumerate(children) if j != i]
            cond, values = compile_predicate(
                rest[0] if len(rest) == 1 else And(tuple(rest)), self.owners, self.schema)
            params = "".join(f", v{k}" for k in range(len(values)))
            ns = {}
            exec(f"def _f(objs{params}):\n    return [o for o in objs if {cond}]\n", ns)
            filters[i] = (ns["_f"], values)
        plans = {i: self._plan(children[i]) for i in drivers}

        def run_and():
            i = min(drivers, key=lambda j: self._estimate(children[j]), default=None)
            if i is None or self._estimate(children[i]) * SCAN_RATIO > len(self.items):
                i, base = None, self.items
            else:
                base = plans[i]()
            f, values = filters[i]
            return f(base, *values)
        return run_and

    def prepare(self, query):
        kw = query.keyword
        if kw is not None and len(kw) == 1 and not isinstance(next(iter(kw.values())), list):
            # The common case, written the way a user would write it.
            (attr, value), = kw.items()
            value = self._resolve(value)
            return lambda: list(self._bucket(attr, value))
        if kw is not None and all(not isinstance(v, list) for v in kw.values()):
            # Several exact keywords: walk the smallest bucket, probe the rest.
            pairs = [(a, self._resolve(v)) for a, v in kw.items()]

            def run():
                buckets = sorted((self._bucket(a, v) for a, v in pairs), key=len)
                out = buckets[0]
                for b in buckets[1:]:
                    out = [o for o in out if o in b]
                return out if isinstance(out, list) else list(out)
            return run
        return self._plan(query.expr)

    # -- writing -------------------------------------------------------------
    def write(self, batch):
        attr = batch.attr
        items, buckets, dirty = self.items, self.index[attr], self.dirty
        new_keys = False
        for pos, v in zip(batch.positions, batch.values):
            o = items[pos]
            old = getattr(o, attr)
            if old == v:
                continue
            b = buckets[old]
            del b[o]
            if not b:
                del buckets[old]
                dirty.discard((attr, old))
                new_keys = True
            setattr(o, attr, v)
            b = buckets.get(v)
            if b is None:
                buckets[v] = {o: None}
                new_keys = True
            else:
                if b and next(reversed(b)).seq > o.seq:
                    dirty.add((attr, v))
                b[o] = None
        if new_keys:
            self.sorted_keys.pop(attr, None)
