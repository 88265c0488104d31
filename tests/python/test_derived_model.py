"""The whole index surface against a small pure-Python model.

Hypothesis drives objects, attribute writes, keyword lookups, expression
queries, views (`reduced`, narrowing a view), `reduce`,
`rebase` and `union_with` in random order; after every step each index and
view must list exactly what the model says.

The model keeps what an index's own tables hold, not what the objects
currently are, because that is what `reduce` and `union_with` change:

- `entries`: name -> value key -> object numbers (the per-value id sets that
  keyword lookups read; narrowed by `reduce`, merged by `union_with` for the
  objects both indexes store);
- `numbers`: name -> (number, object number) pairs (the range trees, which
  neither `reduce` nor `union_with` touch);
- `stored`: the objects stored, which `collect` lists and whose attribute
  writes reach the index;
- `allowed`: every object ever added (the universe of expression queries).

Object numbers follow creation order, which is also id order. Expression
queries are evaluated by `evaluate` over `entries`, `numbers` and the
universe (`allowed` for an index, the view's ids for a view).
"""

from collections import defaultdict

import hypothesis.strategies as st
import pytest
from hypothesis import HealthCheck, settings
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

from Corvalex import Index, Indexable
from Corvalex import PyQueryExpr as Q

NAMES = ["a", "b", "_p"]
VALUES = [0, 1, 2, 1.0, True, -1.5, "x", "y", "", None, (1,), [1]]
MAX_INDEXES = 4
MAX_VIEWS = 5


def key(value):
    """A value's identity inside an index: its hash, 0 when unhashable."""
    try:
        return hash(value)
    except TypeError:
        return 0


def is_public(name):
    return not name.startswith("_")


class ModelIndex:
    def __init__(self):
        self.entries = defaultdict(lambda: defaultdict(set))
        self.numbers = defaultdict(set)
        self.stored = set()
        self.allowed = set()

    def enter(self, number, name, value):
        self.entries[name][key(value)].add(number)
        if type(value) in (int, float):
            self.numbers[name].add((value, number))

    def move(self, number, name, old, new):
        """A write of a stored object's public attribute from `old` (a
        one-item tuple, empty when the object had no such attribute)."""
        if old and name in self.entries:
            sets = self.entries[name]
            if type(old[0]) in (int, float):
                self.numbers[name].discard((old[0], number))
            if key(old[0]) in sets:
                sets[key(old[0])].discard(number)
                if not sets[key(old[0])]:
                    del sets[key(old[0])]
            if not sets:  # the last value is gone: the whole map goes
                del self.entries[name]
                self.numbers.pop(name, None)
        self.enter(number, name, new)

    def add(self, number, attrs):
        self.stored.add(number)
        self.allowed.add(number)
        for name, value in attrs.items():
            if is_public(name):
                self.enter(number, name, value)

    def matching(self, query):
        """Object numbers whose ids the keyword query selects, stored or not."""
        if not query:
            return set()
        result = None
        for name, values in query.items():
            sets = self.entries.get(name, {})
            ids = set().union(*(sets.get(key(value), set()) for value in values))
            result = ids if result is None else result & ids
        return result


NUMBERS = [0, 1, 2, 1.0, -1.5, 0.5]
RANGES = {
    "gt": lambda value, bound: value > bound,
    "ge": lambda value, bound: value >= bound,
    "lt": lambda value, bound: value < bound,
    "le": lambda value, bound: value <= bound,
}


def evaluate(model, tree, universe):
    """The object numbers an expression selects from `model`'s tables."""
    operator, *args = tree
    if operator in ("and", "or", "not"):
        if operator == "not":
            return universe - evaluate(model, args[0], universe)
        if operator == "or":
            return set().union(*(evaluate(model, part, universe) for part in args))
        result = set(universe)
        for part in args:
            result &= evaluate(model, part, result)
            if not result:
                break
        return result
    name = args[0]
    if operator == "ne":
        return universe - evaluate(model, ("eq", name, args[1]), universe)
    if name not in model.entries:
        return set()
    sets = model.entries[name]
    if operator == "eq":
        return set(sets.get(key(args[1]), set()))
    if operator == "in":
        return set().union(*(sets.get(key(value), set()) for value in args[1])) & universe
    pairs = model.numbers.get(name, set())
    if operator == "bt":
        return {number for value, number in pairs if args[1] <= value <= args[2]} & universe
    return {number for value, number in pairs if RANGES[operator](value, args[1])} & universe


def build(tree):
    operator, *args = tree
    if operator in ("and", "or"):
        return getattr(Q, operator + "_")(*(build(part) for part in args))
    if operator == "not":
        return Q.not_(build(args[0]))
    if operator == "in":
        return Q.in_(args[0], args[1])
    return getattr(Q, operator)(*args)


class ModelView:
    def __init__(self, source, ids):
        self.source = source  # shares the source's tables, as a view does
        self.ids = set(ids)

    def listed(self):
        return sorted(self.ids & self.source.stored)


class DerivedIndexes(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.objects = []  # Indexable objects, in creation (id) order
        self.attrs = []  # the model of each object's attributes
        self.indexes = []  # (Index, ModelIndex)
        self.views = []  # (FilteredIndex, ModelView)
        self.last_written = {}  # name -> the value last assigned to it

    # --- drawing arguments -------------------------------------------------

    def draw_value(self, data):
        if self.objects and data.draw(st.integers(0, 5)) == 0:
            return self.objects[data.draw(st.integers(0, len(self.objects) - 1))]
        return data.draw(st.sampled_from(VALUES))

    def draw_wanted(self, data, name):
        """A value to look for under `name`: often the one last written,
        usually one some object holds."""
        choice = data.draw(st.integers(0, 3))
        if choice == 0 and name in self.last_written:
            return self.last_written[name]
        holders = [attrs[name] for attrs in self.attrs if name in attrs]
        if holders and choice > 1:
            return holders[data.draw(st.integers(0, len(holders) - 1))]
        return self.draw_value(data)

    def draw_query(self, data):
        """Keywords, mostly one name asking for one value."""
        count = data.draw(st.sampled_from([1, 1, 1, 2, 0]))
        names = data.draw(st.lists(st.sampled_from(NAMES + ["missing"]), unique=True,
                                   min_size=count, max_size=count))
        return {name: [self.draw_wanted(data, name)
                       for _ in range(data.draw(st.sampled_from([1, 1, 2, 0])))]
                for name in names}

    def draw_tree(self, data, depth=0):
        """An expression over the public names, without dotted paths."""
        kind = data.draw(st.integers(0, 9 if depth < 3 else 6))
        name = data.draw(st.sampled_from(["a", "b", "missing"]))
        if kind <= 1:
            return (data.draw(st.sampled_from(["eq", "ne"])), name, self.draw_wanted(data, name))
        if kind == 2:
            values = [self.draw_wanted(data, name) for _ in range(data.draw(st.integers(0, 3)))]
            return ("in", name, values)
        if kind <= 4:
            return (data.draw(st.sampled_from(sorted(RANGES))), name,
                    data.draw(st.sampled_from(NUMBERS)))
        if kind <= 6:
            lower, upper = data.draw(st.sampled_from(NUMBERS)), data.draw(st.sampled_from(NUMBERS))
            return ("bt", name, lower, upper)
        if kind == 7:
            return ("not", self.draw_tree(data, depth + 1))
        parts = [self.draw_tree(data, depth + 1) for _ in range(data.draw(st.integers(0, 3)))]
        return ("and" if kind == 8 else "or", *parts)

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

    # --- rules -------------------------------------------------------------

    @rule(data=st.data())
    def create_object(self, data):
        names = data.draw(st.lists(st.sampled_from(NAMES), unique=True, max_size=3))
        attrs = {name: self.draw_value(data) for name in names}
        self.objects.append(Indexable(**attrs))
        self.attrs.append(attrs)

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
        numbers = data.draw(st.lists(st.integers(0, len(self.objects) - 1), unique=True, max_size=6))
        index.add_object_many([self.objects[number] for number in numbers])
        for number in numbers:
            model.add(number, self.attrs[number])

    @precondition(lambda self: self.objects)
    @rule(data=st.data())
    def write_attribute(self, data):
        # Mostly objects some index stores, whose writes reach an index.
        stored = sorted(set().union(*(model.stored for _, model in self.indexes)))
        if stored and data.draw(st.integers(0, 3)) > 0:
            number = stored[data.draw(st.integers(0, len(stored) - 1))]
        else:
            number = data.draw(st.integers(0, len(self.objects) - 1))
        name = data.draw(st.sampled_from(NAMES))
        value = self.draw_value(data)
        setattr(self.objects[number], name, value)
        self.last_written[name] = value
        if is_public(name):
            old = (self.attrs[number][name],) if name in self.attrs[number] else ()
            for _, model in self.indexes:
                if number in model.stored:
                    model.move(number, name, old, value)
        self.attrs[number][name] = value

    @precondition(lambda self: self.indexes)
    @rule(data=st.data())
    def lookup(self, data):
        index, model = self.pick(data, self.indexes)
        query = self.draw_query(data)
        expected = self.objects_of(model.matching(query) & model.stored)
        assert index.get_by_attribute(**query) == expected

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
        narrowed = ModelView(model.source, model.source.matching(query) & model.ids)
        self.keep_view(view.reduced(**query), narrowed)

    @precondition(lambda self: self.indexes)
    @rule(data=st.data())
    def expression_query(self, data):
        index, model = self.pick(data, self.indexes)
        tree = self.draw_tree(data)
        selected = evaluate(model, tree, model.allowed)
        view = index.reduced_query(build(tree))
        assert view.collect() == self.objects_of(selected & model.stored), tree
        self.keep_view(view, ModelView(model, selected))

    @precondition(lambda self: self.views)
    @rule(data=st.data())
    def expression_on_view(self, data):
        view, model = self.pick(data, self.views)
        tree = self.draw_tree(data)
        selected = evaluate(model.source, tree, model.ids)
        narrowed = view.reduced_query(build(tree))
        assert narrowed.collect() == self.objects_of(selected & model.source.stored), tree
        self.keep_view(narrowed, ModelView(model.source, selected))

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
            for name, value in self.attrs[number].items():
                if is_public(name):
                    model.enter(number, name, value)

    @precondition(lambda self: self.views)
    @rule(data=st.data())
    def rebase(self, data):
        view, model = self.pick(data, self.views)
        rebased = ModelIndex()
        for number in model.listed():
            rebased.stored.add(number)
            rebased.allowed.add(number)
            for name, value in self.attrs[number].items():  # `_` names too
                rebased.enter(number, name, value)
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
        # Only objects both store are carried: any other id would not be
        # kept current here.
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
            for name in NAMES:
                for value in VALUES:
                    expected = self.objects_of(model.matching({name: [value]}) & model.stored)
                    assert index.get_by_attribute(**{name: [value]}) == expected, (name, value)
        for view, model in self.views:
            assert view.collect() == self.objects_of(model.listed())


DerivedIndexes.TestCase.settings = settings(
    max_examples=150,
    stateful_step_count=40,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
test_derived_indexes = DerivedIndexes.TestCase
