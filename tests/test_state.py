"""State: versions, zones, key versions, signals and the meta log."""

import gc
import inspect
import sys

import pytest

import kavex_core as k
from conftest import SANITIZED, needs_plain_build, rss_bytes


def meta(state):
    return [(e.key, e.message) for e in state.get_meta_logs()]


def test_new_state_and_empty_update():
    s = k.State()
    assert s.version == 1
    assert s.data.to_dict() == {} and s.heavy.to_dict() == {} and s.signals.to_dict() == {}
    t = s.update()
    assert t.version == 2
    assert meta(t) == [("state_update", "State updated to version 2")]
    assert meta(s) == meta(t)  # one log per lineage


def test_update_shares_and_replaces_entries_without_copying():
    value, nested = object(), {"x": [1]}
    s = k.State(data={"a": value}, heavy={"h": nested})
    t = s.update(data={"b": 2})
    u = t.update(data={"a": 3})
    assert t.data["a"] is value and t.heavy["h"] is nested
    assert s.data.to_dict() == {"a": value}
    assert t.data.to_dict() == {"a": value, "b": 2}
    assert u.data.to_dict() == {"a": 3, "b": 2}
    assert t.data.to_dict() is not t.data.to_dict()  # fresh dict on each read


def test_signals_belong_to_one_version():
    s = k.State()
    t = s.update(signal={"go": 1})
    assert t.signals.to_dict() == {"go": "1"}
    assert t.update().signals.to_dict() == {}
    u = s.update(signal=[{"a": 1, "b": None}, {"a": 2}])
    assert u.signals.to_dict() == {"a": "2", "b": "None"}
    assert s.update(signal="x").signals.to_dict() == {}


def test_unprintable_signal_value_goes_to_the_unraisable_hook(monkeypatch):
    class Bad:
        def __str__(self):
            raise ValueError("no text")

    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    t = k.State().update(signal={"z": Bad(), "y": 1})
    assert t.signals.to_dict() == {"z": "<unprintable Bad object>", "y": "1"}
    assert len(seen) == 1 and isinstance(seen[0].exc_value, ValueError)


@pytest.mark.parametrize(
    "kwargs, needle",
    [
        ({"data": [1]}, "argument 'data': expected dict, got list"),
        ({"data": {1: 2}}, "argument 'data': expected str, got int"),
        ({"heavy": {"a": 1, 2: 3}}, "argument 'heavy': expected str, got int"),
        ({"data": {"d": {1: 2}}}, "argument 'data': expected str, got int"),
        ({"signal": ["x"]}, "argument 'signal': expected dict, got str"),
        ({"signal": {1: "x"}}, "argument 'signal': expected str, got int"),
    ],
)
def test_failed_update_raises_and_keeps_only_the_log_entry(kwargs, needle):
    s = k.State(data={"a": 1})
    with pytest.raises(TypeError) as info:
        s.update(**kwargs)
    assert str(info.value) == needle
    assert s.data.to_dict() == {"a": 1} and s.version == 1
    assert meta(s) == [("state_update", "State updated to version 2")]


@pytest.mark.parametrize(
    "kwargs, exc",
    [
        ({"data": 1}, TypeError),
        ({"data": {1: 1}}, TypeError),
        ({"version": None}, TypeError),
        ({"version": -1}, OverflowError),
        ({"version": 2**64}, OverflowError),
        ({"meta_capacity": "3"}, TypeError),
        ({"meta_capacity": -1}, OverflowError),
    ],
)
def test_constructor_conversions(kwargs, exc):
    with pytest.raises(exc, match="argument '"):
        k.State(**kwargs)


def test_constructor_accepts_subclasses_and_ignores_signal():
    class D(dict):
        pass

    class S(str):
        def __hash__(self):
            return 0

    s = k.State(data=D({S("a"): 1}), signal={"x": 1}, version=2**64 - 1)
    assert s.version == 2**64 - 1 and s.signals.to_dict() == {}
    (key,) = s.data.keys()
    assert type(key) is str and key == "a"
    assert s.update().version == 0  # unsigned 64-bit arithmetic


def test_meta_capacity_bounds_the_shared_log():
    s = k.State(meta_capacity=2)
    for i in range(3):
        s.log_meta("k", f"m{i}")
    assert meta(s) == [("k", "m1"), ("k", "m2")]
    s0 = k.State(meta_capacity=0)
    s0.update().log_meta("k", "m")
    assert s0.get_meta_logs() == []


def test_meta_capacity_too_large_to_reserve_raises_memory_error():
    with pytest.raises(MemoryError):
        k.State(meta_capacity=2**62)


def test_log_meta_argument_types():
    with pytest.raises(TypeError, match="argument 'message'"):
        k.State().log_meta("k", 1)


def test_meta_entries_are_copies_with_timestamps():
    s = k.State()
    s.log_meta("key", "message")
    (e,) = s.meta
    assert (e.key, e.message) == ("key", "message")
    assert isinstance(e.timestamp, float) and e.timestamp > 1.6e9
    assert repr(e).startswith("MetaLogEntry(time=") and repr(e).endswith(", key=key, msg=message)")
    assert s.meta[0] is not e
    with pytest.raises(TypeError, match="No constructor defined for MetaLogEntry"):
        k.MetaLogEntry()


def test_restrict_view_keeps_version_zones_and_log():
    s = k.State(data={"a": 1}, heavy={"h": 2}).update(signal={"s": 1})
    v = s.restrict_view()
    assert v is not s
    assert (v.version, v.data.to_dict(), v.heavy.to_dict()) == (2, {"a": 1}, {"h": 2})
    v.log_meta("k", "via view")
    assert meta(s)[-1] == ("k", "via view")


def test_state_is_immutable():
    s = k.State()
    with pytest.raises(k.ContextError, match=r"^State is Immutable\. Use \.update\(\) to create a new version\.$"):
        s.version = 3
    with pytest.raises(k.ContextError):
        s.anything = 1
    with pytest.raises(AttributeError, match="can't delete attribute"):
        del s.version
    assert s.version == 1


def test_signatures():
    assert str(inspect.signature(k.State)) == "(data=None, heavy=None, signal=None, version=1, meta_capacity=1000)"
    assert k.State.__doc__ == "Kavex v3 Immutable State"
    assert str(inspect.signature(k.State().update)) == "(data=None, heavy=None, signal=None)"
    assert k.State.log_meta.__doc__ == "Log a system event to the Meta Zone Ring Buffer."


@needs_plain_build
def test_repeated_updates_and_reads_do_not_leak():
    value = object()
    key = "k" + "x" * 30
    base = k.State(data={f"d{i}": i for i in range(10)})

    def churn(n):
        s = base
        for i in range(n):
            s = s.update(data={key: value, "n": {"inner": value}}, heavy={"h": value}, signal={"s": i})
            s.data, s.heavy, s.signals, s.meta
        return s

    churn(20_000)
    gc.collect()
    refs, before = sys.getrefcount(value), rss_bytes()
    churn(200_000)
    gc.collect()
    assert sys.getrefcount(value) == refs
    assert rss_bytes() - before < 4 * 2**20


@pytest.mark.skipif(not SANITIZED, reason="the short leak run is for the sanitizer build")
def test_reference_counts_stay_balanced_under_the_sanitizer():
    value = object()
    refs = sys.getrefcount(value)
    s = k.State()
    for i in range(2000):
        s = s.update(data={"a": value, "n": {"i": value}}, signal={"s": value})
        s.data
    del s
    assert sys.getrefcount(value) == refs


def test_domain_and_global_are_read_only_proxies_over_the_stored_objects():
    domain, shared = {"user": {"name": "ada"}}, {"g": 1}
    s = k.State(data={"domain": domain, "global": shared})
    p = s.domain
    assert isinstance(p, k.SupervisorProxy) and p.read_only and p.path == "domain"
    assert p.supervisor_target is domain and p.user.name == "ada"
    g = getattr(s, "global")
    assert g.supervisor_target is shared and g.path == "global" and g.read_only
    with pytest.raises(PermissionError, match=r"^PURE process cannot write to 'domain\.x'$"):
        p.x = 1
    assert k.State().domain is None and getattr(k.State(), "global") is None


def test_domain_proxy_writes_reach_every_version_sharing_the_entry():
    domain = {"a": 1}
    s = k.State(data={"domain": domain})
    t = s.update(data={"other": 1})
    writable = t.domain_proxy()
    assert not writable.read_only
    writable.a = 2
    assert s.data["domain"]["a"] == 2
    assert t.domain_proxy(read_only=True).read_only and t.domain_proxy(None).read_only is False
    with pytest.raises(TypeError, match="^argument 'read_only': expected bool, got int$"):
        t.domain_proxy(read_only=1)
    assert k.State().domain_proxy() is None
