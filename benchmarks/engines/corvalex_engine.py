"""Corvalex: ``Index.add_object_many`` over ``Indexable`` objects.

Keyword queries call ``get_by_attribute``; expression queries build a
``PyQueryExpr`` and call ``reduced_query(expr).collect()``; writes are plain
attribute assignments, which keep the index up to date by themselves.

What the installed module supports is found out by probing it on a tiny
index (``detect_features``), so queries needing newer features switch on
as soon as the module provides them.
"""

from __future__ import annotations

import importlib
from typing import Optional

from ..queries import And, Between, Cmp, In, Not, Or, OwnerRef
from .base import Engine

_OPS = {"==": "eq", "!=": "ne", "<": "lt", "<=": "le", ">": "gt", ">=": "ge"}


def load():
    try:
        return importlib.import_module("Corvalex")
    except ImportError:
        return None


class _Combinators:
    """How this build spells and/or/not: static functions, methods or operators."""

    def __init__(self, E):
        self.E = E
        self.and_ = self.or_ = self.not_ = None

    def probe(self, a, b):
        E = self.E
        for name, op in (("and_", lambda x, y: x & y), ("or_", lambda x, y: x | y)):
            for cand in (lambda x, y, n=name: getattr(E, n)(x, y),
                         lambda x, y, n=name: getattr(x, n)(y),
                         op):
                try:
                    cand(a, b)
                except Exception:
                    continue
                setattr(self, name, cand)
                break
        for cand in (lambda x: E.not_(x), lambda x: x.not_(), lambda x: ~x):
            try:
                cand(a)
            except Exception:
                continue
            self.not_ = cand
            break
        return self.and_ is not None and self.or_ is not None and self.not_ is not None


def _same(got, want) -> bool:
    return isinstance(got, list) and len(got) == len(want) and all(
        g is w for g, w in zip(got, want))


def detect_features(mod) -> tuple[frozenset, list, Optional[_Combinators]]:
    """Probe ``mod`` on a tiny index; return (features, notes, combinators)."""
    feats, notes = set(), []
    if mod is None:
        return frozenset(), ["Corvalex is not importable"], None
    if not (hasattr(mod, "Index") and hasattr(mod, "Indexable")):
        return frozenset(), ["Corvalex has no Index/Indexable yet"], None
    try:
        owners = [mod.Indexable(name="o0", age=30), mod.Indexable(name="o1", age=60)]
        objs = [mod.Indexable(colour="a" if i % 2 else "b", size=i, flag=i % 2,
                              owner=owners[i % 2]) for i in range(20)]
        idx = mod.Index()
        idx.add_object_many(objs)
    except Exception as exc:
        return frozenset(), [f"cannot build an index: {exc!r}"], None
    odd = objs[1::2]

    def attempt(feature, fn, want=None):
        try:
            got = fn()
        except Exception as exc:
            notes.append(f"{feature}: not available ({type(exc).__name__}: {exc})")
            return False
        if want is not None and not _same(got, want):
            notes.append(f"{feature}: present but the probe answered wrongly "
                         f"(enabled so the agreement check reports it)")
        feats.add(feature)
        return True

    attempt("keyword", lambda: idx.get_by_attribute(colour="a"), odd)
    attempt("object_values", lambda: idx.get_by_attribute(owner=owners[1]), odd)
    E = getattr(mod, "PyQueryExpr", None)
    comb = None
    if E is None or not hasattr(idx, "reduced_query"):
        notes.append("range/boolean/dotted: no PyQueryExpr / Index.reduced_query yet")
    else:
        def rq(expr):
            return idx.reduced_query(expr).collect()

        def ranges():
            for name in ("gt", "ge", "lt", "le", "ne", "eq"):
                rq(getattr(E, name)("size", 5))
            rq(E.in_("size", [1, 2]))
            return rq(E.bt("size", 5, 9))
        attempt("range", ranges, objs[5:10])
        comb = _Combinators(E)
        try:
            ok = comb.probe(E.eq("colour", "a"), E.lt("size", 4))
        except Exception:
            ok = False
        if ok:
            attempt("boolean", lambda: rq(comb.and_(E.eq("colour", "a"),
                                                    comb.not_(E.lt("size", 4)))), odd[2:])
        else:
            notes.append("boolean: no working and_/or_/not_")
        attempt("dotted", lambda: rq(E.eq("owner.age", 60)), odd)
    # Writes: the index must follow an attribute assignment by itself.
    try:
        o = objs[0]
        o.size = 12345
        if _same(idx.get_by_attribute(size=12345), [o]) and \
                not any(x is o for x in idx.get_by_attribute(size=0)):
            feats.add("writes")
        else:
            notes.append("writes: assigning an attribute does not update the index yet")
    except Exception as exc:
        notes.append(f"writes: not available ({type(exc).__name__}: {exc})")
    return frozenset(feats), notes, comb


class CorvalexEngine(Engine):
    name = "corvalex"
    label = "Corvalex"
    object_kind = "indexable"
    packages = ("Corvalex",)
    _detected = None

    @classmethod
    def unavailable_reason(cls):
        mod = load()
        if mod is None:
            return "package 'Corvalex' not importable"
        feats, notes, _ = cls.detect()
        if "keyword" not in feats:
            return "; ".join(notes) or "Corvalex has no usable Index"
        return None

    @classmethod
    def detect(cls):
        if cls._detected is None:
            cls._detected = detect_features(load())
        return cls._detected

    def features(self):
        return self.detect()[0]

    def notes(self):
        return self.detect()[1]

    def build(self, items, owners):
        mod = load()
        self.items = items
        self.owners = owners
        self.idx = mod.Index()
        self.idx.add_object_many(items)

    def close(self):
        self.idx = self.items = None

    def _val(self, v):
        return self.owners[v.pos] if isinstance(v, OwnerRef) else v

    def _expr(self, e):
        E = load().PyQueryExpr
        comb = self.detect()[2]
        if isinstance(e, Cmp):
            return getattr(E, _OPS[e.op])(e.attr, self._val(e.value))
        if isinstance(e, In):
            return E.in_(e.attr, [self._val(v) for v in e.values])
        if isinstance(e, Between):
            return E.bt(e.attr, e.lo, e.hi)
        if isinstance(e, (And, Or)):
            children = [self._expr(c) for c in e.children]
            if comb.and_ is not None and getattr(E, "and_", None) is not None:
                # and_/or_ take any number of expressions: one flat node.
                return (E.and_ if isinstance(e, And) else E.or_)(*children)
            join = comb.and_ if isinstance(e, And) else comb.or_
            out = children[0]
            for c in children[1:]:
                out = join(out, c)
            return out
        if isinstance(e, Not):
            return comb.not_(self._expr(e.child))
        raise TypeError(e)

    def prepare(self, query):
        idx = self.idx
        if query.keyword is not None:
            kw = {a: ([self._val(x) for x in v] if isinstance(v, list) else self._val(v))
                  for a, v in query.keyword.items()}
            return _keyword_call(idx.get_by_attribute, kw)
        expr = self._expr(query.expr)
        return lambda: idx.reduced_query(expr).collect()

    def write(self, batch):
        items, attr = self.items, batch.attr
        for pos, v in zip(batch.positions, batch.values):
            setattr(items[pos], attr, v)


def _keyword_call(get, kw):
    """A callable that calls ``get`` with literal keywords, as user code does
    (``index.get_by_attribute(colour="red")``), instead of unpacking a dict
    on every call."""
    if not all(name.isidentifier() for name in kw):
        return lambda: get(**kw)
    params = ", ".join(f"_v{i}" for i in range(len(kw)))
    call = ", ".join(f"{name}=_v{i}" for i, name in enumerate(kw))
    namespace = {}
    exec(f"def make(get, {params}):\n    return lambda: get({call})\n", namespace)
    return namespace["make"](get, *kw.values())
