"""Random operation sequences over the Python surface, under atheris:
attribute writes, additions, lookups, expression queries, views, rebase,
reduce and union_with on a few objects and indexes, each step checked
against a model built from the objects' current attributes.

A union carries only the ids of objects both indexes store, so it keeps an
index exact; only `reduce` narrows one, after which its lookups may miss
objects but never return one that does not hold the value.

Run by tests/fuzz/run.sh: python tests/fuzz/fuzz_surface.py [libFuzzer flags]."""

import sys

import atheris

from Corvalex import Index, Indexable, PyQueryExpr as Q

NAMES = ["a", "b", "c"]
NUMBERS = [0, 1, 2, -1, 1.0, 2.5, -0.0, 1e300]
VALUES = NUMBERS + [True, "x", "", None, (1,), [1]]
REFUSALS = ("Already borrowed", "Already mutably borrowed")


def key(value):
    try:
        return hash(value)
    except TypeError:
        return 0


def is_number(value):
    return type(value) in (int, float) and value == value


class World:
    def __init__(self):
        self.objects = []
        self.attrs = []  # the model of each object's attributes
        self.indexes = [Index(), Index()]
        self.exact = [True, True]  # False once reduced

    def value(self, data):
        choice = data.ConsumeIntInRange(0, len(VALUES))
        if choice == len(VALUES) and self.objects:
            return self.objects[data.ConsumeIntInRange(0, len(self.objects) - 1)]
        return VALUES[choice % len(VALUES)]

    def pick(self, data, items):
        return data.ConsumeIntInRange(0, len(items) - 1)

    def step(self, data):
        op = data.ConsumeIntInRange(0, 8)
        # Few objects and indexes, so that operations meet the same ones.
        if op == 0 and len(self.objects) < 4 or not self.objects:
            attrs = {name: self.value(data) for name in NAMES if data.ConsumeBool()}
            self.objects.append(Indexable(**attrs))
            self.attrs.append(attrs)
        elif op <= 1:
            i = self.pick(data, self.objects)
            name = NAMES[self.pick(data, NAMES)]
            value = self.value(data)
            setattr(self.objects[i], name, value)
            self.attrs[i][name] = value
        elif op == 2:
            index = self.indexes[self.pick(data, self.indexes)]
            index.add_object(self.objects[self.pick(data, self.objects)])
        elif op == 3:
            index = self.indexes[self.pick(data, self.indexes)]
            chosen = sorted({self.pick(data, self.objects) for _ in range(data.ConsumeIntInRange(0, 4))})
            index.add_object_many([self.objects[i] for i in chosen])
        elif op == 4:
            k = self.pick(data, self.indexes)
            name = NAMES[self.pick(data, NAMES)]
            self.indexes[k].reduce(**{name: [self.value(data), self.value(data)]})
            self.exact[k] = False
        elif op == 5:
            k, other = self.pick(data, self.indexes), self.pick(data, self.indexes)
            if k == other:
                try:
                    self.indexes[k].union_with(self.indexes[other])
                except RuntimeError as error:
                    assert str(error) == "Already mutably borrowed"
                return
            self.indexes[k].union_with(self.indexes[other])
        elif op == 6:
            index = self.indexes[self.pick(data, self.indexes)]
            name = NAMES[self.pick(data, NAMES)]
            view = index.reduced(**{name: self.value(data)})
            if data.ConsumeBool():
                view = view.reduced_query(Q.ne(NAMES[self.pick(data, NAMES)], self.value(data)))
            if len(self.indexes) < 3:
                self.indexes.append(view.rebase())
                self.exact.append(True)
        elif op == 7:
            self.check_query(data)
        else:
            k = self.pick(data, self.indexes)
            if len(self.indexes) > 1:
                del self.indexes[k], self.exact[k]

    def stored(self, index):
        listed = index.collect()
        ids = {id(o) for o in listed}
        return [i for i, o in enumerate(self.objects) if id(o) in ids], listed

    def holders(self, numbers, name, test):
        return [self.objects[i] for i in numbers if name in self.attrs[i] and test(self.attrs[i][name])]

    def check_query(self, data):
        k = self.pick(data, self.indexes)
        index = self.indexes[k]
        numbers, _ = self.stored(index)
        name = NAMES[self.pick(data, NAMES)]
        lo, hi = sorted([NUMBERS[self.pick(data, NUMBERS)], NUMBERS[self.pick(data, NUMBERS)]])
        got = index.reduced_query(Q.bt(name, lo, hi)).collect()
        # Ranges read the range trees, which reduce leaves whole.
        want = self.holders(numbers, name, lambda v: is_number(v) and type(v) is not bool and lo <= v <= hi)
        assert got == want, (name, lo, hi)

    def check(self):
        for index, exact in zip(self.indexes, self.exact):
            numbers, listed = self.stored(index)
            assert listed == [self.objects[i] for i in numbers]
            for name in NAMES:
                for value in VALUES:
                    want = self.holders(numbers, name, lambda v: key(v) == key(value))
                    got = index.get_by_attribute(**{name: [value]})
                    if exact:
                        assert got == want, (name, value)
                    else:
                        assert all(o in want for o in got), (name, value)


def test_one_input(data_bytes):
    data = atheris.FuzzedDataProvider(data_bytes)
    world = World()
    while data.remaining_bytes() > 0:
        try:
            world.step(data)
        except RuntimeError as error:
            # Nothing else holds these objects: no refusal is expected.
            raise AssertionError(f"refused: {error}") from error
        except NotImplementedError:
            pass
        world.check()


if __name__ == "__main__":
    # The extension is not instrumented: the harness's own branches (which
    # operations ran, on which kinds of values and indexes) guide the fuzzer.
    atheris.instrument_all()
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
