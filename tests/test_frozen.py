"""FrozenDict: a read-only face over a dict it does not copy."""

import copy
import inspect

import pytest

import kavex_core as k


def test_reads_follow_the_wrapped_dict():
    d = {}
    f = k.FrozenDict(d)
    d["a"] = 1
    assert f["a"] == 1 and f.a == 1 and f.to_dict() is d
    assert (f.keys(), f.values(), f.items()) == (["a"], [1], [("a", 1)])
    assert f.get("a") == 1 and f.get("missing") is None and f.get("missing", 5) == 5
    assert f.get("missing", None) is None


def test_methods_win_over_keys_and_misses_are_clear():
    f = k.FrozenDict({"keys": 1, "x": 2})
    assert callable(f.keys) and f.x == 2
    with pytest.raises(AttributeError, match="^Attribute not found$"):
        k.FrozenDict({}).missing
    with pytest.raises(KeyError) as info:
        k.FrozenDict({})["missing"]
    assert info.value.args == ("Key not found",)
    with pytest.raises(TypeError):
        f[[1]]
    with pytest.raises(TypeError):
        f.get([1])


def test_writes_are_refused():
    f = k.FrozenDict({"a": 1})
    with pytest.raises(k.ContextError, match=r"^Context is Immutable\. Use \.update\(\)$"):
        f["a"] = 2
    with pytest.raises(NotImplementedError, match="can't delete item"):
        del f["a"]
    assert f.to_dict() == {"a": 1}


def test_not_a_mapping():
    f = k.FrozenDict({"a": 1})
    for op in (len, iter, lambda x: "a" in x):
        with pytest.raises(TypeError):
            op(f)
    assert f != k.FrozenDict(f.to_dict())
    assert str(f) == "FrozenDict({'a': 1})"
    assert repr(f).startswith("<kavex_core.FrozenDict object at ")


def test_deepcopy_makes_an_independent_frozen_dict():
    inner = [1]
    f = k.FrozenDict({"a": inner})
    g = copy.deepcopy(f)
    assert type(g) is k.FrozenDict and g.to_dict() == {"a": [1]}
    assert g.to_dict() is not f.to_dict() and g["a"] is not inner


def test_constructor():
    with pytest.raises(TypeError, match="^argument 'data': expected dict, got list$"):
        k.FrozenDict([1])
    assert str(inspect.signature(k.FrozenDict)) == "(data)"
    assert not k.FrozenDict.__doc__  # a signature and no text


def test_cycle_through_the_wrapped_dict_is_collected():
    import gc
    import weakref

    class Marker:
        pass

    d = {}
    f = k.FrozenDict(d)
    d["self"] = f
    d["m"] = m = Marker()
    ref = weakref.ref(m)
    del d, f, m
    gc.collect()
    assert ref() is None
