"""KavexEngine: commits, compare-and-swap, outbox delivery, slots."""

import sys
import threading

import pytest

import kavex_core as k


def test_new_engine():
    e = k.KavexEngine()
    assert e.state.version == 1 and e.state.data.to_dict() == {}
    assert e.state.get_meta_logs() == []


def test_compare_and_swap_checks_written_keys_only():
    e = k.KavexEngine()
    e.compare_and_swap(1, data={"a": 1})
    assert e.state.version == 2
    with pytest.raises(k.ContextError) as info:
        e.compare_and_swap(1, data={"a": 2})
    assert str(info.value) == "CAS Version Mismatch (Conflict Detected): Expected 1, Found 2 (Keys Changed)"
    assert e.state.data["a"] == 1
    e.compare_and_swap(1, data={"b": 2})  # untouched key: rebased
    assert e.state.version == 3 and e.state.data.to_dict() == {"a": 1, "b": 2}
    e.compare_and_swap(2, data={"a": 3})  # written at 2, not after
    assert e.state.data["a"] == 3


def test_dict_values_conflict_through_their_inner_keys():
    e = k.KavexEngine()
    e.compare_and_swap(1, data={"domain": {"user": 1}})
    with pytest.raises(k.ContextError):
        e.compare_and_swap(1, data={"domain": {"user": 2}})
    e.compare_and_swap(1, data={"domain": {"team": 2}})  # "domain" itself is not consulted
    e.compare_and_swap(1, data={"domain": {}})
    with pytest.raises(k.ContextError):
        e.compare_and_swap(1, heavy={"domain": 5})  # data and heavy share the index
    assert e.state.data["domain"] == {}


def test_stale_non_dict_zone_skips_the_check_and_fails_in_update():
    e = k.KavexEngine()
    e.compare_and_swap(1, data={"a": 1})
    with pytest.raises(TypeError, match="argument 'data'"):
        e.compare_and_swap(1, data=[("a", 2)])
    assert e.state.version == 2


def test_vip_holder_blocks_other_writers_before_the_version_check():
    e = k.KavexEngine()
    for _ in range(6):
        e.report_conflict("vip")
    for requester in (None, "other"):
        with pytest.raises(k.ContextError, match=r"^System Busy \(VIP Access Only\)$"):
            e.compare_and_swap(99, data={"x": 1}, requester=requester)
    e.compare_and_swap(1, data={"x": 1}, requester="vip")
    e.report_success("vip")
    e.compare_and_swap(2, data={"y": 1})
    assert e.state.version == 3


def test_commit_state_installs_any_state():
    e = k.KavexEngine()
    e.compare_and_swap(1, data={"a": 1})
    old = k.State(version=1)
    e.commit_state(old)
    assert e.state is old
    e.compare_and_swap(1, data={"a": 2})  # compared against the lower version now
    assert e.state.version == 2
    with pytest.raises(TypeError, match="argument 'state': expected State, got dict"):
        e.commit_state({})


@pytest.mark.parametrize(
    "call, exc",
    [
        (lambda e: e.set_strict_mode(1), TypeError),
        (lambda e: e.set_strict_mode(None), TypeError),
        (lambda e: e.report_conflict(None), TypeError),
        (lambda e: e.compare_and_swap(-1), OverflowError),
        (lambda e: e.compare_and_swap(1, requester=5), TypeError),
        (lambda e: e.transaction(write_timeout_ms=-5), OverflowError),
    ],
)
def test_argument_conversion(call, exc):
    with pytest.raises(exc):
        call(k.KavexEngine())


def queue(e, *topics):
    with e.transaction() as tx:
        for t in topics:
            tx.outbox.add(k.OutboxMsg(t, {"topic": t}))


def test_process_outbox_delivers_in_order_copies_of_each_message():
    e = k.KavexEngine()
    assert e.process_outbox() is None
    queue(e, "a", "b")
    seen = []
    e.attach_worker(seen.append)
    assert e.process_outbox() is None
    assert [m.topic for m in seen] == ["a", "b"] and seen[0].payload == {"topic": "a"}
    seen.clear()
    assert e.process_outbox() is None and seen == []


def test_without_a_worker_messages_stay_queued():
    e = k.KavexEngine()
    queue(e, "a")
    assert e.process_outbox() is None
    e.attach_worker(None)
    assert e.process_outbox() is None
    seen = []
    e.attach_worker(seen.append)
    e.process_outbox()
    assert [m.topic for m in seen] == ["a"]


def test_failing_worker_keeps_the_failed_and_later_messages_in_order():
    e = k.KavexEngine()
    queue(e, "a", "b", "c")
    seen = []

    def worker(msg):
        if msg.topic == "b" and "b-failed" not in seen:
            seen.append("b-failed")
            raise ValueError("worker down")
        seen.append(msg.topic)

    e.attach_worker(worker)
    with pytest.raises(ValueError, match="worker down"):
        e.process_outbox()
    assert seen == ["a", "b-failed"]
    queue(e, "d")
    e.process_outbox()
    assert seen == ["a", "b-failed", "b", "c", "d"]


@pytest.mark.parametrize("reentry", ["attach_worker", "process_outbox", "commit_state"])
def test_worker_reentry_raises_instead_of_hanging(reentry):
    e = k.KavexEngine()
    queue(e, "a")
    errors = []

    def worker(msg):
        try:
            if reentry == "attach_worker":
                e.attach_worker(print)
            elif reentry == "process_outbox":
                e.process_outbox()
            else:
                e.commit_state(e.state)
        except RuntimeError as exc:
            errors.append(str(exc))

    e.attach_worker(worker)
    e.process_outbox()
    assert len(errors) == 1
    if reentry == "commit_state":
        assert errors == ["Already borrowed"]


@pytest.mark.timeout(20)
def test_other_threads_wait_for_a_running_worker():
    e = k.KavexEngine()
    queue(e, "a")
    started, release = threading.Event(), threading.Event()
    done = []

    def worker(msg):
        started.set()
        release.wait(5)
        done.append(msg.topic)

    e.attach_worker(worker)
    t = threading.Thread(target=e.process_outbox)
    t.start()
    started.wait(5)
    attach = threading.Thread(target=e.attach_worker, args=(print,))
    attach.start()  # must wait for the worker slot with the interpreter lock released
    attach.join(0.2)
    assert attach.is_alive()
    release.set()
    t.join(5)
    attach.join(5)
    assert done == ["a"] and not attach.is_alive()


def test_engine_cycles_through_the_worker_are_collected():
    import gc
    import weakref

    class Marker:
        pass

    e, marker = k.KavexEngine(), Marker()
    e.attach_worker(lambda msg, e=e, marker=marker: e)
    ref = weakref.ref(marker)
    del e, marker
    gc.collect()
    assert ref() is None


@pytest.mark.timeout(20)
def test_worker_may_wait_for_another_thread_that_commits():
    # Borrow flags only refuse re-entry on one thread; another thread's
    # commit proceeds while the worker runs.
    e = k.KavexEngine()
    queue(e, "a")

    def worker(msg):
        t = threading.Thread(target=lambda: e.compare_and_swap(e.state.version, data={"from": "thread"}))
        t.start()
        t.join(5)
        assert not t.is_alive()

    e.attach_worker(worker)
    e.process_outbox()
    assert e.state.data["from"] == "thread"


@pytest.mark.parametrize("replace", ["commit_state", "compare_and_swap", "transaction"])
def test_finalizers_of_replaced_states_may_use_the_engine(replace, monkeypatch):
    # The last reference to an old state goes after the engine's locks and
    # borrows are released, so a finaliser it triggers can use the engine.
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    e = k.KavexEngine()
    seen = []

    class Finalizer:
        def __del__(self):
            e.process_outbox()
            e.commit_state(e.state)
            seen.append(e.state.version)

    e.commit_state(k.State(data={"f": Finalizer()}))
    if replace == "commit_state":
        e.commit_state(k.State())
    elif replace == "compare_and_swap":
        e.compare_and_swap(1, data={"f": None})
    else:
        with e.transaction() as tx:
            tx.update(data={"f": None})
    assert unraisable == [] and len(seen) == 1
