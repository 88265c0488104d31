import enum
import gc
import sys
import threading
import weakref

import pytest

from Corvalex import Indexable


class Person(Indexable):
    kind = "class attribute"

    def greet(self):
        return f"hello {self.name}"

    @property
    def shout(self):
        return self.name.upper()


def test_constructor_captures_keywords_and_ignores_positionals():
    obj = Indexable(1, 2, a=1, b="text")
    assert (obj.a, obj.b) == (1, "text")
    assert repr(obj) == "<MyClass with 2 attributes>"
    assert repr(Indexable("ignored", 3)) == "<MyClass with 0 attributes>"


def test_reads_return_the_very_object_assigned():
    values = [[1, 2], {"k": 1}, object(), 10**18, 1.5, None, (1, [2])]
    obj = Indexable(**{f"v{i}": value for i, value in enumerate(values)})
    for i, value in enumerate(values):
        assert getattr(obj, f"v{i}") is value
    replacement = {"new": True}
    obj.v0 = replacement
    assert obj.v0 is replacement


def test_missing_attribute_raises_attribute_error_with_the_name():
    with pytest.raises(AttributeError) as raised:
        Indexable().missing
    assert raised.value.args == ("missing",)
    assert getattr(Indexable(), "missing", 42) == 42
    assert not hasattr(Indexable(), "x")


def test_delete_is_refused_and_changes_nothing():
    obj = Indexable(a=1)
    with pytest.raises(AttributeError, match="can't delete attribute"):
        del obj.a
    with pytest.raises(AttributeError, match="can't delete attribute"):
        del obj.never_set
    assert obj.a == 1


def test_underscore_names_and_dunder_names_are_plain_attributes():
    obj = Indexable()
    obj._private = 5
    obj.__class__ = "not a class"
    assert obj._private == 5
    assert obj.__class__ == "not a class"
    assert type(obj) is Indexable
    assert repr(obj) == "<MyClass with 2 attributes>"


def test_ids_are_consecutive_in_one_thread():
    # The id is not exposed; object order in an index follows it, so this is
    # checked there. Here: construction is cheap and independent.
    objs = [Indexable(i=i) for i in range(1000)]
    assert [o.i for o in objs] == list(range(1000))


def test_subclass_instances_have_a_dict_and_methods_work():
    person = Person(name="ada")
    assert person.greet() == "hello ada"
    assert person.shout == "ADA"
    assert person.kind == "class attribute"
    assert person.__dict__ == {}
    person.__dict__["extra"] = 1  # found by the generic lookup
    assert person.extra == 1
    with pytest.raises(AttributeError):
        Indexable().__dict__


def test_subclass_init_may_call_the_base_with_keywords():
    class Pet(Indexable):
        def __init__(self, name, **kwargs):
            super().__init__(**kwargs)
            self.name = name

    pet = Pet("rex", kind="dog")
    assert (pet.name, pet.kind) == ("rex", "dog")


def test_writes_shadow_methods_and_properties_on_that_object_only():
    person = Person(name="ada")
    person.greet = "shadowed"
    person.shout = "loud"
    assert person.greet == "shadowed" and person.shout == "loud"
    assert Person(name="bob").greet() == "hello bob"


def test_dir_lists_attribute_names_first_then_object_names():
    obj = Indexable(zeta=1, alpha=2)
    listed = obj.__dir__()
    assert listed[:2] == ["zeta", "alpha"]
    assert "__repr__" in listed and "__dir__" in listed
    assert {"zeta", "alpha", "__class__"} <= set(dir(obj))
    assert dir(obj) == sorted(dir(obj))


def test_class_surface():
    assert Indexable.__text_signature__ == "(*_args, **kwargs)"
    assert Indexable.__doc__ is None
    assert Indexable.__module__ == "Corvalex"
    assert Indexable.__dir__.__text_signature__ == "($self)"
    with pytest.raises(TypeError):
        Indexable().__dir__(1)


@pytest.mark.parametrize(
    "value, error",
    [(2**63, OverflowError), (-(2**63) - 1, OverflowError), ("bad \udc80", UnicodeEncodeError)],
)
def test_uncapturable_values_raise_before_anything_changes(value, error):
    with pytest.raises(error):
        Indexable(ok=1, bad=value)
    obj = Indexable(a=1)
    with pytest.raises(error):
        obj.a = value
    assert obj.a == 1 and repr(obj) == "<MyClass with 1 attributes>"


def test_boundary_ints_and_subclasses_are_captured():
    class Colour(enum.IntEnum):
        RED = 1

    big = 2**100
    obj = Indexable(low=-(2**63), high=2**63 - 1, enum=Colour.RED, true=True)
    assert obj.low == -(2**63) and obj.high == 2**63 - 1 and obj.enum is Colour.RED
    obj.sub = type("BigInt", (int,), {})(big)  # int subclasses are not range-checked
    assert obj.sub == big


def test_invalid_attribute_names():
    obj = Indexable()
    with pytest.raises(AttributeError, match="Invalid attribute name"):
        getattr(obj, "\udc80")
    with pytest.raises(UnicodeEncodeError):
        setattr(obj, "\udc80", 1)
    with pytest.raises(TypeError):
        getattr(obj, 5)


def test_hostile_hash_is_swallowed():
    class Hostile:
        def __hash__(self):
            raise RuntimeError("no hash for you")

    obj = Indexable(h=Hostile(), lst=[1])
    assert isinstance(obj.h, Hostile)


def test_reference_cycles_through_attributes_are_collected():
    class Node(Indexable):
        pass

    node = Node()
    node.me = node
    node.payload = [node]
    ref = weakref.ref(node)
    del node
    gc.collect()
    assert ref() is None


def test_values_are_released_with_the_object():
    payload = object()
    before = sys.getrefcount(payload)
    objs = [Indexable(p=payload) for _ in range(100)]
    assert sys.getrefcount(payload) == before + 100
    for obj in objs:
        obj.p = None
    assert sys.getrefcount(payload) == before
    objs = [Indexable(p=payload) for _ in range(100)]
    del objs
    assert sys.getrefcount(payload) == before


def test_concurrent_construction_and_writes_do_not_crash():
    errors = []

    def work(seed):
        try:
            shared = Indexable(x=0)
            for i in range(2000):
                obj = Indexable(seed=seed, i=i)
                obj.i = i + 1
                shared.x = i
                assert obj.i == i + 1
        except Exception as error:  # pragma: no cover - reported below
            errors.append(error)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=60)
    assert not errors
