"""The whole Python surface against a small pure-Python model.

Hypothesis runs objects, attribute writes of every kind of value, keyword
lookups, expression queries (every operator, dotted paths), views and their
narrowing, `reduce`, `rebase` and `union_with` in random order; after every
step each index and view must list exactly what the model says.
`tests/fuzz/fuzz_surface.py` drives the same machine under atheris.

The model keeps what an index's own tables hold, not what the objects are
now, because `reduce` and `union_with` change the tables only:

- `entries`: name -> value key -> object numbers, the per-value id sets that
  keyword lookups, `eq` and `in_` read (narrowed by `reduce`, merged by
  `union_with` for the objects both indexes store);
- `numbers`: name -> (number, object number), the range trees;
- `nested`: name -> (indexable value, object number), the holders that dotted
  paths go through; like the range trees, neither `reduce` nor `union_with`
  touches them;
- `stored`: what `collect` lists and attribute writes reach;
- `allowed`: every object ever added, the universe of expression queries.

Object numbers follow creation order, which is id order. Dotted paths look
only into `OWNERS`, which are never written, so that their snapshots in the
nested indexes are their attributes.
"""

import enum
from collections import defaultdict

import hypothesis.strategies as st
import pytest
from hypothesis import HealthCheck, settings
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

from Corvalex import Index, Indexable
from Corvalex import PyQueryExpr as Q


class Level(enum.IntEnum):
    HIGH = 2  # hashes like 2, but is never ordered


OWNER_ATTRS = [{"name": "ann", "rank": 1}]
OWNER_ATTRS += [{"name": "bob", "rank": 2.5, "_x": 1}, {"name": "cy", "rank": float("nan")},
                {"name": "", "rank": True}, {"name": "dee", "rank": -(2**63)}]
OWNERS = [Indexable(**attrs) for attrs in OWNER_ATTRS]
for attrs in OWNER_ATTRS[1:3]:
    attrs["boss"] = OWNERS[0]
    OWNERS[OWNER_ATTRS.index(attrs)].boss = OWNERS[0]
NAMES = ["a", "b", "o", "_p"]
NUMBERS = [0, 1, 2, -1, -2, 1.0, -0.0, 2.5, -1.5, 2**53, 2**53 + 1, float(2**53),
           2**63 - 1, -(2**63), float("inf"), float("-inf"), float("nan")]
COMMON = [0, 1, "x", NUMBERS[-1]]  # the last number is NaN
VALUES = NUMBERS + [True, False, Level.HIGH, "x", "", "ü", None, (1,), (), [1], frozenset(), b"a", 97, {"x": 0}]
PATHS = ["a", "b", "o", "_p", "missing", "", "o.name", "o.rank", "o.boss.name", "o.boss.rank",
         "o._x", "o.missing", "o.name.x", "a.name", "o.", ".o"]
RANGES = {"gt": lambda v, b: v > b, "ge": lambda v, b: v >= b,
          "lt": lambda v, b: v < b, "le": lambda v, b: v <= b}
MAX_INDEXES, MAX_VIEWS = 4, 5


def key(value):
    """A value's identity inside an index: its hash, 0 when unhashable."""
    try:
        return hash(value)
    except TypeError:
        return 0


def is_public(name):
    return not name.startswith("_")


def is_number(value):
    return type(value) in (int, float)  # exact types: bools and enums are never ordered


def wanted(value):
    """What a keyword value asks for: a str or a non-iterable is one value,
    any other iterable means any of its items."""
    try:
        return [value] if isinstance(value, str) else list(iter(value))
    except TypeError:
        return [value]


class Unsupported(Exception):
    """What the index reports as NotImplementedError("not yet implemented")."""


def condition(value, kind, args):
    """Whether an attribute value meets one condition of an expression."""
    if kind == "eq":
        return key(value) == key(args[0])
    if kind == "in":
        return key(value) in {key(v) for v in args[0]}
    if kind == "bt":
        return is_number(value) and args[0] <= value <= args[1]
    return is_number(value) and is_number(args[0]) and RANGES[kind](value, args[0])


def owner_matches(owner, path, kind, args):
    head, dot, rest = path.partition(".")
    attrs = OWNER_ATTRS[OWNERS.index(owner)]
    if not is_public(head) or head not in attrs:
        return False
    if dot:
        return attrs[head] in OWNERS and owner_matches(attrs[head], rest, kind, args)
    return condition(attrs[head], kind, args)


class ModelIndex:
    def __init__(self):
        self.entries = defaultdict(lambda: defaultdict(set))
        self.numbers = defaultdict(set)
        self.nested = defaultdict(set)
        self.stored, self.allowed = set(), set()

    def enter(self, number, name, value):
        self.entries[name][key(value)].add(number)
        if is_number(value):
            self.numbers[name].add((value, number))
        if isinstance(value, Indexable):
            self.nested[name].add((value, number))

    def add(self, number, attrs, private_too=False):
        self.stored.add(number)
        self.allowed.add(number)
        for name, value in attrs.items():
            if private_too or is_public(name):
                self.enter(number, name, value)

    def move(self, number, name, old, new):
        """A write of a stored object's public attribute; `old` is a one-item
        tuple, empty when the object had no such attribute."""
        if old and name in self.entries:
            sets = self.entries[name]
            # After `reduce` the id may be missing from the old value's set.
            if is_number(old[0]):
                self.numbers[name].discard((old[0], number))
            if isinstance(old[0], Indexable):
                self.nested[name].discard((old[0], number))
            if key(old[0]) in sets:
                sets[key(old[0])].discard(number)
                if not sets[key(old[0])]:
                    del sets[key(old[0])]
            if not sets:  # the last value is gone: the attribute's whole map goes
                for table in (self.entries, self.numbers, self.nested):
                    table.pop(name, None)
        self.enter(number, name, new)

    def matching(self, query):
        """Object numbers whose ids a keyword query selects, stored or not."""
        result = None
        for name, value in query.items():
            sets = self.entries.get(name, {})
            ids = set().union(*(sets.get(key(v), set()) for v in wanted(value)))
            result = ids if result is None else result & ids
        return result or set()

    def evaluate(self, tree, universe):
        kind, *args = tree
        if kind == "not":
            return universe - self.evaluate(args[0], universe)
        if kind == "or":
            return set().union(*(self.evaluate(part, universe) for part in args))
        if kind == "and":
            result = set(universe)
            for part in args:
                result &= self.evaluate(part, result)
                if not result:
                    break
            return result
        if kind == "ne":
            return universe - self.evaluate(("eq", *args), universe)
        head, dot, rest = args[0].partition(".")
        if head not in self.entries:  # no map for the attribute: nothing, and no error
            return set()
        if dot:  # answered by the nested index: not confined to the universe
            return {n for owner, n in self.nested.get(head, ())
                    if owner in OWNERS and owner_matches(owner, rest, kind, args[1:])}
        if kind == "eq":
            return set(self.entries[head].get(key(args[1]), set()))
        if kind == "in":
            return {n for k in {key(v) for v in args[1]}
                    for n in self.entries[head].get(k, ())} & universe
        if kind == "bt" and not (is_number(args[1]) and is_number(args[2])):
            raise Unsupported
        if kind != "bt" and isinstance(args[1], Indexable):
            raise Unsupported
        return {n for v, n in self.numbers.get(head, ()) if condition(v, kind, args[1:])} & universe


def build(tree):
    kind, *args = tree
    if kind in ("and", "or"):
        return getattr(Q, kind + "_")(*(build(part) for part in args))
    if kind == "not":
        return Q.not_(build(args[0]))
    if kind == "in":
        return Q.in_(args[0], args[1])
    return getattr(Q, kind)(*args)


class ModelView:
    def __init__(self, source, ids):
        self.source = source  # shares the source's tables, as a view does
        self.ids = set(ids)

    def listed(self):
        return self.ids & self.source.stored


class Surface(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.objects, self.attrs = [], []  # in creation (id) order
        self.indexes, self.views = [], []  # (Index, ModelIndex), (FilteredIndex, ModelView)
        self.seen = defaultdict(dict)  # name -> key -> a value with that key

    # --- drawing arguments -------------------------------------------------

    def draw_value(self, data, name="a"):
        choice = data.draw(st.integers(0, 9))
        if choice == 0 and self.objects:
            return self.pick(data, self.objects)
        if choice == 1 or name == "o" and choice < 5:
            return data.draw(st.sampled_from(OWNERS))
        if choice < 6:  # a few common values, so that some sets outgrow the inline form
            return data.draw(st.sampled_from(COMMON))
        return data.draw(st.sampled_from(VALUES))

    def draw_wanted(self, data, name):
        """A value to look for under `name`, usually one some object holds."""
        holders = [attrs[name] for attrs in self.attrs if name in attrs]
        if holders and data.draw(st.booleans()):
            return self.pick(data, holders)
        return self.draw_value(data, name)

    def draw_query(self, data):
        names = data.draw(st.lists(st.sampled_from(NAMES + ["missing"]), unique=True, max_size=2))
        query = {}
        for name in names:
            count = data.draw(st.integers(0, 3))
            if count == 0:
                query[name] = self.draw_wanted(data, name)  # iterables mean any of their items
            else:
                query[name] = [self.draw_wanted(data, name) for _ in range(count - 1)]
        return query

    def draw_tree(self, data, depth=0):
        kind = data.draw(st.sampled_from(["eq", "ne", "in", "gt", "ge", "lt", "le", "bt"]
                                         + ["not", "and", "or"] * (depth < 3)))
        if kind == "not":
            return ("not", self.draw_tree(data, depth + 1))
        if kind in ("and", "or"):
            return (kind, *(self.draw_tree(data, depth + 1) for _ in range(data.draw(st.integers(0, 3)))))
        path = data.draw(st.sampled_from(PATHS))
        head = path.partition(".")[0]
        if kind in ("eq", "ne"):
            return (kind, path, self.draw_wanted(data, head))
        if kind == "in":
            return (kind, path, [self.draw_wanted(data, head) for _ in range(data.draw(st.integers(0, 3)))])
        # Bounds that are not numbers: ranges of them match nothing, or are
        # refused when the attribute exists (dotted paths get numbers only).
        bounds = st.sampled_from(NUMBERS)
        if "." not in path and data.draw(st.integers(0, 5)) == 0:
            bounds = st.sampled_from(["x", None, True, Level.HIGH, OWNERS[0]])
        if kind == "bt":
            return (kind, path, data.draw(bounds), data.draw(st.sampled_from(NUMBERS) | bounds))
        return (kind, path, data.draw(bounds))

    def pick(self, data, items):
        return items[data.draw(st.integers(0, len(items) - 1))]

    def objects_of(self, numbers):
        return [self.objects[number] for number in sorted(numbers)]

    def keep_view(self, view, model):
        self.views.append((view, model))
        del self.views[:-MAX_VIEWS]

    def keep_index(self, index, model):
        # Dropping the oldest index ends its core: writes stop reaching it,
        # while views made from it keep reading its tables.
        self.indexes.append((index, model))
        del self.indexes[:-MAX_INDEXES]

    def remember(self, attrs):
        for name, value in attrs.items():
            self.seen[name].setdefault(key(value), value)

    def check_query(self, target, model, universe, tree, keep=True):
        try:
            selected = model.evaluate(tree, universe)
        except Unsupported:
            with pytest.raises(NotImplementedError, match="^not yet implemented$"):
                target.reduced_query(build(tree))
            return
        view = target.reduced_query(build(tree))
        assert view.collect() == self.objects_of(selected & model.stored), tree
        if keep:
            self.keep_view(view, ModelView(model, selected))

    # --- rules -------------------------------------------------------------

    @initialize(data=st.data())
    def start(self, data):
        for _ in range(data.draw(st.integers(1, 12))):
            self.create_object(data)
        self.create_index()
        self.add_object_many(data)

    @rule(data=st.data())
    def create_object(self, data):
        names = data.draw(st.lists(st.sampled_from(NAMES), unique=True, max_size=3))
        attrs = {name: self.draw_value(data, name) for name in names}
        self.objects.append(Indexable(**attrs))
        self.attrs.append(attrs)
        self.remember(attrs)

    @rule()
    def create_index(self):
        self.keep_index(Index(), ModelIndex())

    @precondition(lambda self: self.indexes and self.objects)
    @rule(data=st.data())
    def add_object(self, data):
        index, model = self.pick(data, self.indexes)
        number = data.draw(st.integers(0, len(self.objects) - 1))
        index.add_object(self.objects[number])
        model.add(number, self.attrs[number])

    @precondition(lambda self: self.indexes and self.objects)
    @rule(data=st.data())
    def add_object_many(self, data):
        index, model = self.pick(data, self.indexes)
        numbers = data.draw(st.lists(st.integers(0, len(self.objects) - 1), max_size=6))
        batch = [self.objects[number] for number in numbers]
        if len(set(numbers)) < len(numbers):  # an object twice: nothing is added
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                index.add_object_many(batch)
            return
        index.add_object_many(batch)
        for number in numbers:
            model.add(number, self.attrs[number])

    @precondition(lambda self: self.objects)
    @rule(data=st.data())
    def write_attribute(self, data):
        # Mostly objects some index stores, whose writes reach an index.
        stored = sorted(set().union(*(model.stored for _, model in self.indexes)))
        number = self.pick(data, stored or range(len(self.objects)))
        if data.draw(st.integers(0, 3)) == 0:
            number = data.draw(st.integers(0, len(self.objects) - 1))
        name = data.draw(st.sampled_from(NAMES))
        value = self.draw_value(data, name)
        setattr(self.objects[number], name, value)
        if is_public(name):
            old = (self.attrs[number][name],) if name in self.attrs[number] else ()
            for _, model in self.indexes:
                if number in model.stored:
                    model.move(number, name, old, value)
        self.attrs[number][name] = value
        self.remember({name: value})

    @precondition(lambda self: self.objects)
    @rule(data=st.data(), value=st.sampled_from([2**64, -(2**63) - 1, "bad \udc80"]))
    def failing_write(self, data, value):
        number = data.draw(st.integers(0, len(self.objects) - 1))
        with pytest.raises((OverflowError, UnicodeEncodeError)):
            setattr(self.objects[number], data.draw(st.sampled_from(NAMES)), value)

    @precondition(lambda self: self.indexes)
    @rule(data=st.data())
    def lookup(self, data):
        index, model = self.pick(data, self.indexes)
        query = self.draw_query(data)
        assert index.get_by_attribute(**query) == self.objects_of(model.matching(query) & model.stored)

    @precondition(lambda self: self.indexes)
    @rule(data=st.data())
    def reduced(self, data):
        index, model = self.pick(data, self.indexes)
        query = self.draw_query(data)
        self.keep_view(index.reduced(**query), ModelView(model, model.matching(query)))

    @precondition(lambda self: self.views)
    @rule(data=st.data())
    def narrow_view(self, data):
        view, model = self.pick(data, self.views)
        query = self.draw_query(data)
        narrowed = view.reduced(**query)
        self.keep_view(narrowed, ModelView(model.source, model.source.matching(query) & model.ids))

    @precondition(lambda self: self.indexes)
    @rule(data=st.data())
    def expression_query(self, data):
        index, model = self.pick(data, self.indexes)
        self.check_query(index, model, model.allowed, self.draw_tree(data))

    @precondition(lambda self: self.views)
    @rule(data=st.data())
    def expression_on_view(self, data):
        view, model = self.pick(data, self.views)
        self.check_query(view, model.source, model.ids, self.draw_tree(data))

    @precondition(lambda self: self.indexes)
    @rule(data=st.data())
    def reduce(self, data):
        index, model = self.pick(data, self.indexes)
        query = self.draw_query(data)
        index.reduce(**query)
        kept = model.matching(query)
        for sets in model.entries.values():
            for value_key in sets:
                sets[value_key] &= kept
        for number in sorted(kept & model.stored):
            model.add(number, self.attrs[number])

    @precondition(lambda self: self.views)
    @rule(data=st.data())
    def rebase(self, data):
        view, model = self.pick(data, self.views)
        rebased = ModelIndex()
        for number in model.listed():
            rebased.add(number, self.attrs[number], private_too=True)
        self.keep_index(view.rebase(), rebased)

    @precondition(lambda self: self.indexes)
    @rule(data=st.data())
    def union_with(self, data):
        (index, model), (other, other_model) = self.pick(data, self.indexes), self.pick(data, self.indexes)
        if index is other:
            with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
                index.union_with(other)
            return
        index.union_with(other)
        # Only objects both store are carried: writes would not keep any
        # other id current here.
        both = model.stored & other_model.stored
        for name, sets in other_model.entries.items():
            for value_key, numbers in sets.items():
                if numbers & both:
                    model.entries[name][value_key] |= numbers & both

    # --- checks after every step -------------------------------------------

    @invariant()
    def indexes_and_views_list_what_the_model_says(self):
        for index, model in self.indexes:
            assert index.collect() == self.objects_of(model.stored)
            for path in ("o.name", "a.name"):  # paths into the owners each index holds
                for attrs in OWNER_ATTRS:
                    self.check_query(index, model, model.allowed, ("eq", path, attrs["name"]), keep=False)
            for name, values in self.seen.items():
                first = next(iter(values.values()), None)
                for value in values.values():
                    expected = self.objects_of(model.matching({name: [value]}) & model.stored)
                    assert index.get_by_attribute(**{name: [value]}) == expected, (name, value)
                    either = model.matching({name: [first, value]}) & model.stored
                    assert index.reduced(**{name: [first, value]}).collect() == self.objects_of(either)
        for view, model in self.views:
            assert view.collect() == self.objects_of(model.listed())
        if self.views:  # the newest view, through the operators that stay inside it
            view, model = self.views[-1]
            for name in ("a", "b", "o"):
                trees = [("bt", name, float("-inf"), float("inf")), ("ge", name, float("-inf"))]
                for value in self.seen[name].values():
                    trees += [("in", name, [value]), ("ne", name, value)]
                for tree in trees:
                    self.check_query(view, model.source, model.ids, tree, keep=False)


Surface.TestCase.settings = settings(
    max_examples=200,
    stateful_step_count=40,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
test_surface_against_the_model = Surface.TestCase
