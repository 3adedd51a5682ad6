"""SupervisorProxy: hands out the wrapped objects themselves, routes writes through itself."""

import gc
import inspect
import sys
import types
import weakref

import pytest

import kavex_core as k

SP = k.SupervisorProxy


class Recorder:
    """A transaction whose log_delta records its arguments."""

    def __init__(self):
        self.calls = []

    def log_delta(self, path, old, new):
        self.calls.append((path, old, new))


class Obj:
    def __init__(self, **attrs):
        self.__dict__.update(attrs)


class Slotted:
    __slots__ = ("x",)


@pytest.fixture
def domain():
    d = {"a": {"b": 1}, "items": [1], "path": "key-path", "read_only": "key-ro"}
    return d, SP(d, "domain")


# ---------------------------------------------------------------------------
# Construction, class surface, rendering


def test_defaults_signature_and_docs():
    d = {}
    p = SP(d)
    assert (p.path, p.read_only, p.supervisor_target) == ("", False, d)
    assert repr(p) == str(p) == "<SupervisorProxy[dict] at path=''>"
    assert repr(SP([], "x.y")) == "<SupervisorProxy[list] at path='x.y'>"
    assert SP.__module__ == "kavex_core" and SP.__name__ == "SupervisorProxy"
    assert SP.__text_signature__ == "(target, path=..., read_only=False, transaction=None)"
    assert str(inspect.signature(SP)).startswith("(target, path=")
    assert SP.__doc__ == (
        "SupervisorProxy - The Gatekeeper for Python object access\n\n"
        "Unlike FrozenDict which returns copies, SupervisorProxy returns\n"
        "the original Python object while intercepting mutations."
    )
    assert SP.is_proxy.__doc__ == (
        'Helper for users confused by type checks\n"isinstance(proxy, dict)" fails, so we provide this hint.'
    )
    assert SP.to_dict.__doc__ == "Conversion to dict (Delegates to target or returns None)"
    assert SP.supervisor_target.__doc__ == "Get the underlying target (for internal use)"


def test_keyword_arguments_and_none_transaction_means_none():
    d = {}
    p = SP(target=d, path="p", read_only=True, transaction=None)
    assert (p.path, p.read_only, p.supervisor_target is d) == ("p", True, True)
    SP(d, transaction=None).x = 1  # no transaction: nothing to call
    assert d == {"x": 1}


@pytest.mark.parametrize(
    "kwargs, argument",
    [({"path": 1}, "path"), ({"path": None}, "path"), ({"read_only": 1}, "read_only"), ({"read_only": None}, "read_only")],
)
def test_wrong_argument_types(kwargs, argument):
    with pytest.raises(TypeError, match=f"argument '{argument}'"):
        SP({}, **kwargs)


def test_constructor_arity():
    with pytest.raises(TypeError):
        SP()
    with pytest.raises(TypeError):
        SP({}, "p", False, None, 5)
    with pytest.raises(TypeError):
        SP({}, bogus=1)


def test_str_subclass_path_is_stored_as_plain_str():
    class S(str):
        pass

    p = SP({}, S("dom"))
    assert type(p.path) is str and p.path == "dom"


def test_not_a_mapping_no_len_identity_equality_always_true():
    d = {"a": 1}
    p, q = SP(d), SP(d)
    assert p.is_proxy() is True
    assert not isinstance(p, dict)
    with pytest.raises(TypeError):
        len(p)
    assert p == p and p != q and hash(p) != hash(q)
    assert bool(SP({})) and bool(SP(0))
    assert not hasattr(p, "__dict__")


def test_class_is_immutable():
    with pytest.raises(TypeError):
        SP.path = 1
    with pytest.raises(TypeError):
        SP.extra = 1


# ---------------------------------------------------------------------------
# Reads


def test_reads_hand_out_live_objects_and_wrap_dicts(domain):
    d, p = domain
    a = p.a
    assert type(a) is SP and a.path == "domain.a" and a.supervisor_target is d["a"]
    assert p["a"].path == "domain[a]" and p["a"].supervisor_target is d["a"]
    assert p.a.b == 1 and p.a["b"] == 1 and p["a"]["b"] == 1
    assert p["items"] is d["items"]
    assert p.keys == d.keys and p.keys() == d.keys()  # dict method found by attribute lookup first
    d["a"]["b"] = 2  # no copies anywhere
    assert a.b == 2


def test_own_attributes_win_over_keys(domain):
    _, p = domain
    assert p.path == "domain" and p.read_only is False
    assert p["path"] == "key-path" and p["read_only"] == "key-ro"


def test_paths_of_nested_children():
    d = {"x": {"y": {"z": {}}}, 3: {}, (1, 2): {}, "s p": {}}
    p = SP(d, "root")
    assert p.x.y.z.path == "root.x.y.z"
    assert p.x["y"].z.path == "root.x[y].z"
    assert p[3].path == "root[3]" and p[(1, 2)].path == "root[(1, 2)]" and p["s p"].path == "root[s p]"
    top = SP(d)  # empty path: no leading dot, no brackets
    assert top.x.path == "x" and top[3].path == "3" and top.x.y.path == "x.y"
    assert repr(top.x.y) == "<SupervisorProxy[dict] at path='x.y'>"


def test_paths_with_non_utf8_text():
    d = {"\ud800": {}, "é": {}}
    p = SP(d, "dom\udc80")
    assert p["\ud800"].path == "dom\udc80[\ud800]"
    assert getattr(p, "\ud800").path == "dom\udc80.\ud800"
    assert SP(d)["é"].path == "é"


def test_item_key_uses_str_and_is_not_quoted():
    class Key:
        def __hash__(self):
            return 1

        def __eq__(self, other):
            return isinstance(other, Key)

        def __str__(self):
            return "K!"

    d = {Key(): {}}
    assert SP(d, "d")[Key()].path == "d[K!]"


@pytest.mark.parametrize("name", ["_hidden", "__private", "_"])
def test_private_names_are_refused_even_when_present(name):
    d = {name: 1}
    target = Obj(**{name: 1})
    for p in (SP(d, "domain"), SP(target, "domain")):
        with pytest.raises(AttributeError) as info:
            getattr(p, name)
        assert info.value.args == (f"'SupervisorProxy' object has no attribute '{name}'",)
    assert SP(d)[name] == 1


def test_missing_key_and_missing_attribute_messages():
    with pytest.raises(AttributeError) as info:
        SP({"a": 1}, "domain").zz
    assert info.value.args == (
        "'SupervisorProxy[dict]' object has no attribute 'zz'. (Hint: Key 'zz' missing in wrapped dict at path 'domain')",
    )
    with pytest.raises(AttributeError) as info:
        SP(Obj(), "p.q").zz
    assert info.value.args == ("'SupervisorProxy[Obj]' object has no attribute 'zz'. (Path: 'p.q')",)
    assert getattr(SP({}), "zz", "dflt") == "dflt" and not hasattr(SP([]), "zz")


def test_item_read_errors_are_the_targets_own():
    with pytest.raises(KeyError) as info:
        SP({})[(1, 2)]
    assert info.value.args == ((1, 2),)
    with pytest.raises(TypeError, match="unhashable"):
        SP({})[[1]]
    with pytest.raises(IndexError):
        SP([1])[5]
    with pytest.raises(AttributeError, match="__getitem__"):
        SP(5)[0]


class DictSub(dict):
    marker = "class-attr"

    def __missing__(self, key):
        return {"made": key}


class Dynamic:
    """Attributes computed by __getattr__, as many wrapped objects have."""

    def __getattr__(self, name):
        if name == "dyn":
            return {"v": 1}
        raise AttributeError(name)


def test_reads_on_dict_subclasses_and_dynamic_objects():
    s = DictSub(k={"v": 1})
    p = SP(s, "s")
    assert p.marker == "class-attr"  # attribute first
    assert p.k.path == "s.k" and p.k.v == 1
    assert p.absent.supervisor_target == {"made": "absent"}  # the subclass's own __getitem__
    assert p["x"].path == "s[x]"
    q = SP(Dynamic(), "o")
    assert q.dyn.path == "o.dyn" and q.dyn.v == 1
    with pytest.raises(AttributeError, match=r"SupervisorProxy\[Dynamic\].*'nope'"):
        q.nope


def test_dict_subclass_key_miss_uses_the_dict_hint():
    class Strict(dict):
        def __getitem__(self, key):
            raise LookupError(key)

    with pytest.raises(AttributeError, match=r"^'SupervisorProxy\[dict\]' object has no attribute 'x'\. \(Hint"):
        SP(Strict(x=1), "d").x


def fn():
    pass


@pytest.mark.parametrize(
    "value, wrapped",
    [
        ({}, True),
        (DictSub(), True),
        (Obj(), True),
        (types, True),  # a module
        (fn, True),
        (Obj().__init__, True),  # bound methods expose their function's __dict__
        (Obj, True),  # classes have a __dict__ too
        (Slotted(), False),
        (1, False),
        (True, False),
        (1.5, False),
        ("s", False),
        (b"b", False),
        (None, False),
        ([1], False),
        ((1,), False),
        ({1}, False),
        (frozenset(), False),
        (len, False),
        ({}.keys, False),
        (range(3), False),
        (SP({}), False),
    ],
    ids=repr,
)
def test_wrapping_rule(value, wrapped):
    assert (isinstance(value, dict) or hasattr(value, "__dict__")) == wrapped  # the rule itself
    for got in (SP({"v": value}).v, SP({"v": value})["v"], SP(Obj(v=value)).v):
        if wrapped:
            assert type(got) is SP and got.supervisor_target is value
        else:
            assert got is value


def test_wrapped_children_keep_flag_and_transaction():
    tx = Recorder()
    d = {"a": {"b": {}}, "o": Obj(n=0)}
    p = SP(d, "dom", transaction=tx)
    p.a.b.c = 1
    p["a"]["b"]["c"] = 2
    p.o.n = 3
    assert tx.calls == [("dom.a.b.c", None, 1), ("dom[a][b][c]", 1, 2), ("dom.o.n", 0, 3)]
    assert d["o"].n == 3
    ro = SP(d, "dom", read_only=True)
    assert ro.a.read_only is True and ro["a"].b.read_only is True
    with pytest.raises(PermissionError, match=r"^PURE process cannot write to 'dom\.a\.b\.c'$"):
        ro.a.b.c = 1


def test_read_errors_other_than_attribute_error_propagate():
    class BadDict:
        @property
        def __dict__(self):
            raise ValueError("boom")

    with pytest.raises(ValueError, match="boom"):
        SP({"v": BadDict()}).v

    class BadToDict:
        @property
        def to_dict(self):
            raise RuntimeError("broken")

    with pytest.raises(RuntimeError, match="broken"):
        SP(BadToDict()).to_dict()


def test_failing_attribute_read_keeps_its_cause_visible():
    class Target:
        @property
        def value(self):
            raise ValueError("real cause")

    with pytest.raises(AttributeError, match="SupervisorProxy\\[Target\\]") as info:
        SP(Target(), "t").value
    assert isinstance(info.value.__context__, ValueError)


def test_interrupts_are_not_turned_into_attribute_errors():
    class Target:
        @property
        def value(self):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        SP(Target()).value


# ---------------------------------------------------------------------------
# Writes


def test_read_only_refuses_writes_without_logging():
    tx = Recorder()
    d = {"x": 0}
    p = SP(d, "domain", read_only=True, transaction=tx)
    with pytest.raises(PermissionError) as info:
        p.x = 1
    assert info.value.args == ("PURE process cannot write to 'domain.x'",)
    with pytest.raises(PermissionError) as info:
        p["x"] = 1
    assert info.value.args == ("PURE process cannot write",)
    with pytest.raises(PermissionError, match=r"^PURE process cannot write to '\.x'$"):
        SP(d, read_only=True).x = 1
    assert d == {"x": 0} and tx.calls == []


def test_writes_are_logged_then_carried_out():
    tx = Recorder()
    d = {"x": 1}
    p = SP(d, "domain", transaction=tx)
    p.x = 5
    p["y"] = 2
    p[3] = "three"
    p.path = "shadowed"  # writes always reach the target, even under the proxy's own names
    assert tx.calls == [("domain.x", 1, 5), ("domain[y]", None, 2), ("domain[3]", None, "three"),
                        ("domain.path", None, "shadowed")]
    assert d == {"x": 5, "y": 2, 3: "three", "path": "shadowed"} and p.path == "domain"

    top = Recorder()
    SP(d, transaction=top).z = 0
    SP(d, transaction=top)["w"] = 0
    assert top.calls == [("z", None, 0), ("w", None, 0)]


def test_object_and_list_targets():
    tx = Recorder()
    o = Obj(n=1)
    SP(o, "o", transaction=tx).n = 2
    SP(o, "o", transaction=tx).m = 3
    items = [0, 1]
    SP(items, "l", transaction=tx)[1] = "x"  # lists have no get(): old value None
    assert (o.n, o.m, items) == (2, 3, [0, "x"])
    assert tx.calls == [("o.n", 1, 2), ("o.m", None, 3), ("l[1]", None, "x")]


def test_writes_go_through_the_targets_own_methods():
    calls = []

    class Logged(dict):
        def get(self, key, default=None):
            calls.append(("get", key))
            return "old"

        def __setitem__(self, key, value):
            calls.append(("set", key, value))
            super().__setitem__(key, value)

    tx = Recorder()
    t = Logged()
    p = SP(t, "t", transaction=tx)
    p.a = 1
    p["b"] = 2
    assert calls == [("get", "a"), ("set", "a", 1), ("get", "b"), ("set", "b", 2)]
    assert tx.calls == [("t.a", "old", 1), ("t[b]", "old", 2)] and t == {"a": 1, "b": 2}


class NoLog:
    pass


class FailingLog:
    def log_delta(self, *args):
        raise RuntimeError("log broke")


class BadAttribute:
    @property
    def log_delta(self):
        raise ValueError("lookup broke")


@pytest.mark.parametrize("tx", [NoLog(), FailingLog(), BadAttribute(), 42], ids=lambda tx: type(tx).__name__)
def test_writes_succeed_when_logging_does_not(tx):
    d = {}
    p = SP(d, "d", transaction=tx)
    p.x = 1
    p["y"] = 2
    assert d == {"x": 1, "y": 2}


def test_old_value_read_failures_become_none():
    class Target:
        @property
        def v(self):
            raise ValueError("unreadable")

        @v.setter
        def v(self, value):
            self.stored = value

    tx = Recorder()
    t = Target()
    SP(t, "t", transaction=tx).v = 1
    assert t.stored == 1 and tx.calls == [("t.v", None, 1)]


def test_write_errors_reach_the_caller_after_logging():
    tx = Recorder()
    with pytest.raises(TypeError, match="unhashable"):
        SP({}, "d", transaction=tx)[[1]] = 1
    with pytest.raises(AttributeError):
        SP(Slotted(), "s", transaction=tx).y = 1
    with pytest.raises(AttributeError, match="__setitem__"):
        SP((1,), "t", transaction=tx)[0] = 2
    assert [c[0] for c in tx.calls] == ["d[[1]]", "s.y", "t[0]"]


def test_proxies_are_stored_as_they_are():
    d = {}
    inner = SP({"z": 1})
    p = SP(d)
    p.a = inner
    p["b"] = inner
    assert d["a"] is inner and d["b"] is inner
    assert p.a is inner  # a proxy read back is not wrapped again


def test_log_delta_interrupt_propagates_before_the_write():
    class Interrupting:
        def log_delta(self, *args):
            raise KeyboardInterrupt

    d = {}
    with pytest.raises(KeyboardInterrupt):
        SP(d, transaction=Interrupting()).x = 1
    assert d == {}


def test_deletions_are_refused():
    d = {"x": 1}
    p = SP(d)
    with pytest.raises(AttributeError) as info:
        del p.x
    assert info.value.args == ("can't delete attribute",)
    with pytest.raises(NotImplementedError) as info:
        del p["x"]
    assert info.value.args == ("can't delete item",)
    assert d == {"x": 1}


def test_children_outlive_the_parent_and_transaction():
    tx = Recorder()
    d = {"a": {}}
    child = SP(d, "dom", transaction=tx).a
    del tx  # the child keeps the transaction alive
    gc.collect()
    child.x = 1
    assert d == {"a": {"x": 1}}
    assert child.path == "dom.a"


# ---------------------------------------------------------------------------
# Membership, iteration, to_dict


def test_contains_and_iter_call_the_targets_methods():
    d = {"a": 1}
    p = SP(d)
    assert "a" in p and "b" not in p
    it = iter(p)
    assert type(it) is type(iter(d)) and list(it) == ["a"]

    class Custom:
        def __contains__(self, key):
            return key == "yes"

        def __iter__(self):
            return iter("xy")

    c = SP(Custom())
    assert "yes" in c and "no" not in c and list(c) == ["x", "y"]
    with pytest.raises(AttributeError, match="__contains__"):
        1 in SP(5)


def test_contains_result_must_be_bool():
    class Truthy:
        def __contains__(self, key):
            return 1

    with pytest.raises(TypeError, match="bool"):
        "a" in SP(Truthy())


def test_to_dict():
    d = {"a": {"b": 1}}
    copy = SP(d).to_dict()
    assert copy == d and copy is not d and copy["a"] is d["a"]

    class Custom(dict):
        def copy(self):
            return "subclass copy"

    assert SP(Custom()).to_dict() == "subclass copy"
    assert SP(Obj(to_dict=lambda: "own")).to_dict() == "own"
    with pytest.raises(AttributeError) as info:
        SP([1]).to_dict()
    assert info.value.args == ("Wrapped object has no to_dict",)


# ---------------------------------------------------------------------------
# Subclasses and the cycle collector


def test_python_subclasses():
    class Sub(SP):
        extra = "class level"

        def helper(self):
            return "helper:" + self.path

    d = {"extra": "key", "a": {}, "mine": "key"}
    s = Sub(d, "sub")
    assert isinstance(s, SP) and s.helper() == "helper:sub"
    assert s.extra == "class level" and s.a.path == "sub.a"
    assert type(s.a) is SP  # children are plain proxies
    assert s.mine == "key"
    s.__dict__["mine"] = "instance"  # subclasses may have an instance dict; normal lookup sees it first
    assert s.mine == "instance"
    s.other = 2  # ordinary writes still reach the target
    assert d["other"] == 2
    with pytest.raises(AttributeError, match="'SupervisorProxy' object has no attribute '_x'"):
        s._x
    assert repr(s) == "<SupervisorProxy[dict] at path='sub'>"


def test_subclass_with_getattr_hook_and_new():
    class Sub(SP):
        def __new__(cls, target):
            return super().__new__(cls, target, "fixed", True)

        def __getattr__(self, name):
            return "hook:" + name

    s = Sub({"a": 1})
    assert s.path == "fixed" and s.read_only is True
    assert s.a == 1 and s.missing == "hook:missing"


def test_reference_cycles_are_collected():
    t = Obj()
    tx = Obj()
    p = SP(t, "t", transaction=tx)
    t.proxy = p
    tx.proxy = p
    refs = [weakref.ref(t), weakref.ref(tx)]
    del t, tx, p
    gc.collect()
    assert [r() for r in refs] == [None, None]


def test_subclass_instances_in_cycles_are_collected():
    class Sub(SP):
        pass

    t = Obj()
    s = Sub(t)
    t.proxy = s
    ref = weakref.ref(t)
    del t, s
    gc.collect()
    assert ref() is None


def test_reference_counts_stay_balanced():
    value = object()

    class Tx:
        def log_delta(self, path, old, new):
            pass

    class Failing:
        @property
        def bad(self):
            raise ValueError(value)

    tx, d, o, failing = Tx(), {"a": {"b": value}, "v": value}, Obj(v=value), Failing()

    def churn():
        p, q = SP(d, "dom", transaction=tx), SP(o, "o", transaction=tx)
        p.a.b, p["a"]["b"], p.a.path, p.v, p.keys, q.v, repr(p.a), p.to_dict(), "v" in p, list(p)
        p.x = value
        p["y"] = value
        q.w = value
        for fail in (lambda: p.zz, lambda: p._h, lambda: q.zz, lambda: p["zz"], lambda: SP(failing).bad,
                     lambda: setattr(SP(d, read_only=True), "x", value), lambda: SP((1,), transaction=tx).x):
            try:
                fail()
            except (AttributeError, KeyError, PermissionError):
                pass

    churn()
    tracked = (value, tx, d, o, failing)
    before = [sys.getrefcount(x) for x in tracked]
    for _ in range(500):
        churn()
    assert [sys.getrefcount(x) for x in tracked] == before
