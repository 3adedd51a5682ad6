"""ConflictManager and RetryDecision."""

import inspect

import pytest

import kavex_core as k


def test_backoff_grows_then_escalates_to_the_priority_holder():
    m = k.ConflictManager()
    ranges = [(1, 2), (3, 4), (6, 9), (12, 19), (25, 38)]
    for n, (low, high) in enumerate(ranges, start=1):
        d = m.report_conflict("p")
        assert d.should_retry and low <= d.wait_ms <= high
        assert m.get_failure_count("p") == n
    assert not m.is_blocked()
    d = m.report_conflict("p")  # the sixth conflict: "p" takes the slot
    assert (d.should_retry, d.wait_ms) == (True, 1)
    assert m.get_failure_count("p") == 5
    assert (m.is_blocked(), m.is_blocked("p"), m.is_blocked("q")) == (True, False, True)

    d = m.report_conflict("q")
    assert (d.should_retry, d.wait_ms) == (True, 50) and m.get_failure_count("q") == 0
    m.report_success("q")
    assert m.is_blocked("q")
    m.report_success("p")
    assert not m.is_blocked() and m.get_failure_count("p") == 0
    m.report_success("never seen")


def test_exponent_is_capped_at_ten():
    m = k.ConflictManager(max_retries=20, base_backoff_ms=1)
    waits = [m.report_conflict("p").wait_ms for _ in range(20)]
    assert all(819 <= w <= 1228 for w in waits[10:])


@pytest.mark.parametrize("base, expected", [(0, 0), (2**64 - 1, 2**64 - 1)])
def test_zero_and_saturating_bases(base, expected):
    m = k.ConflictManager(max_retries=3, base_backoff_ms=base)
    d = m.report_conflict("p")
    if expected == 0:
        assert d.wait_ms == 0
    else:
        # 0.8x of the largest value, or the saturated largest value itself.
        assert 0.8 * expected * 0.999 <= d.wait_ms <= expected


def test_zero_retries_escalates_at_once():
    m = k.ConflictManager(max_retries=0)
    assert m.report_conflict("p").wait_ms == 1
    assert m.is_blocked() and not m.is_blocked("p")


@pytest.mark.parametrize(
    "kwargs, exc",
    [({"max_retries": None}, TypeError), ({"max_retries": 2**32}, OverflowError),
     ({"base_backoff_ms": -1}, OverflowError), ({"base_backoff_ms": 1.0}, TypeError)],
)
def test_constructor_conversions(kwargs, exc):
    with pytest.raises(exc):
        k.ConflictManager(**kwargs)


def test_keys_must_be_text():
    m = k.ConflictManager()
    with pytest.raises(TypeError, match="argument 'key'"):
        m.report_conflict(1)
    with pytest.raises(TypeError, match="argument 'requester'"):
        m.is_blocked(1)


def test_decision_surface():
    d = k.ConflictManager(max_retries=0).report_conflict("p")
    assert repr(d) == "RetryDecision(retry=true, wait=1ms)"
    with pytest.raises(AttributeError):
        d.wait_ms = 3
    with pytest.raises(TypeError, match="No constructor defined for RetryDecision"):
        k.RetryDecision()
    assert str(inspect.signature(k.ConflictManager)) == "(max_retries=5, base_backoff_ms=2)"
    assert k.ConflictManager.__doc__ == "Manages conflict resolution policies (Backoff, Priority)"
