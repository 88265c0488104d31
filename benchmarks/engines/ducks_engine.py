"""ducks ``Dex``: a mutable in-memory index over the objects' attributes.

Dotted paths are indexed through callables (``owner.age``); ``Dex`` returns
results unordered, so they are sorted back into construction order.  OR is a
union of sub-queries; NOT becomes ``!=`` / ``not in`` when it negates a single
condition.  Writes ``Dex.remove`` the object, set the attribute, then ``Dex.add`` it.

Float attributes that may be NaN, and paths that may be NaN or pass through
None, are indexed through a callable that reads those as None, which ``Dex``
keeps apart from its ordered values (a NaN in its B-tree would break the
order).  None then matches no range and no value, and ``!=`` (everything
but ``==``) includes it; a negated range on such an attribute is the
complement of the range, not the opposite range, which would leave None out.
"""

from __future__ import annotations

from operator import attrgetter

from ..queries import And, Between, Cmp, In, Not, Or, OwnerRef
from .base import _SEQ, Engine

_NEG = {"==": "!=", "!=": "==", "<": ">=", "<=": ">", ">": "<=", ">=": "<"}


def _nan_as_none(get):
    def read(o):
        v = get(o)
        return None if v != v else v
    return read


def _path_or_none(ref, attr):
    get_ref = attrgetter(ref)

    def read(o):
        r = get_ref(o)
        if r is None:
            return None
        v = getattr(r, attr)
        return None if v != v else v
    return read


def index_keys(schema) -> dict:
    """What ``Dex`` indexes each attribute and dotted path by: its name, or
    a callable."""
    keys = {}
    for attr in schema.attrs:
        nan = attr in schema.missing and schema.columns.get(attr) == "float"
        keys[attr] = _nan_as_none(attrgetter(attr)) if nan else attr
    for attr in schema.ref_columns:
        path = f"{schema.ref}.{attr}"
        keys[path] = (_path_or_none(schema.ref, attr) if schema.may_be_missing(path)
                      else attrgetter(path))
    return keys


class DucksEngine(Engine):
    name = "ducks"
    label = "ducks Dex"
    packages = ("ducks",)

    def build(self, items, owners):
        from ducks import Dex
        self.items = items
        self.owners = owners
        self.keys = index_keys(self.schema)
        self.dex = Dex(items, on=list(self.keys.values()))

    def close(self):
        self.dex = self.items = None

    def _key(self, attr):
        return self.keys[attr]

    def _val(self, v):
        return self.owners[v.pos] if isinstance(v, OwnerRef) else v

    def _conds(self, e, out, negate=False):
        """Add ``e`` as Dex conditions to ``out``; False if not expressible."""
        if isinstance(e, Not):
            return self._conds(e.child, out, not negate)
        if negate and isinstance(e, Cmp) and e.op not in ("==", "!=") \
                and self.schema.may_be_missing(e.attr):
            return False
        if isinstance(e, Cmp):
            op = _NEG[e.op] if negate else e.op
            out.setdefault(self._key(e.attr), {})[op] = self._val(e.value)
            return True
        if isinstance(e, In):
            out.setdefault(self._key(e.attr), {})["not in" if negate else "in"] = \
                [self._val(v) for v in e.values]
            return True
        if isinstance(e, Between) and not negate:
            d = out.setdefault(self._key(e.attr), {})
            if ">=" in d or "<=" in d:
                return False
            d[">="], d["<="] = e.lo, e.hi
            return True
        if isinstance(e, And) and not negate:
            return all(self._conds(c, out) for c in e.children)
        return False

    def _run(self, e):
        """Matching objects as a set or list (unordered)."""
        conds = {}
        if self._conds(e, conds):
            return self.dex[conds]
        if isinstance(e, Or):
            out = set()
            for c in e.children:
                out.update(self._run(c))
            return out
        if isinstance(e, And):
            # AND with an OR inside: query the plain conditions, intersect.
            plain = {}
            others = []
            for c in e.children:
                if not self._conds(c, plain):
                    others.append(c)
            result = set(self.dex[plain]) if plain else set(self.items)
            for c in others:
                result.intersection_update(self._run(c))
            return result
        if isinstance(e, Not):
            drop = set(self._run(e.child))
            return [o for o in self.items if o not in drop]
        raise TypeError(e)

    def prepare(self, query):
        conds = {}
        if self._conds(query.expr, conds):
            dex = self.dex
            return lambda: sorted(dex[conds], key=_SEQ)
        expr = query.expr
        return lambda: sorted(self._run(expr), key=_SEQ)

    def write(self, batch):
        # Dex finds an object's old entries by its current attribute values,
        # so remove it before the change and add it back after (O(1) each);
        # update() after the change would search every key.
        items, attr, remove, add = self.items, batch.attr, self.dex.remove, self.dex.add
        for pos, v in zip(batch.positions, batch.values):
            o = items[pos]
            remove(o)
            setattr(o, attr, v)
            add(o)
