"""Transaction and OutboxCollector."""

import inspect
import threading
import time

import pydantic
import pytest

import kavex_core as k


def test_commit_moves_the_engine_one_version():
    e = k.KavexEngine()
    with e.transaction() as tx:
        assert isinstance(tx, k.Transaction)
        tx.update(data={"a": 1}, heavy={"h": 2}, signal={"go": 1})
    s = e.state
    assert (s.version, s.data.to_dict(), s.heavy.to_dict(), s.signals.to_dict()) == (2, {"a": 1}, {"h": 2}, {"go": "1"})
    with e.transaction():
        pass
    assert e.state.version == 3
    assert [m.message for m in e.state.meta] == ["State updated to version 2", "State updated to version 3"]


def test_exception_in_the_body_commits_nothing():
    e = k.KavexEngine()
    with pytest.raises(ZeroDivisionError):
        with e.transaction() as tx:
            tx.update(data={"a": 1})
            tx.outbox.add(k.OutboxMsg("t", 1))
            1 / 0
    assert e.state.version == 1 and tx.pending_data == {"a": 1}
    tx.__exit__(None, None, None)  # the kept changes still apply later
    assert e.state.data.to_dict() == {"a": 1}


def test_update_merges_through_dict_update_and_keeps_containers_live():
    tx = k.Transaction()
    tx.update(data=[("a", 1)])
    tx.update(data={"b": 2}, signal="anything")
    tx.pending_data["c"] = 3
    assert tx.pending_data == {"a": 1, "b": 2, "c": 3} and tx.pending_signal == ["anything"]
    with pytest.raises(TypeError):
        tx.update(data=[1])


def test_exit_twice_commits_twice():
    e = k.KavexEngine()
    tx = e.transaction()
    tx.__enter__()
    tx.update(data={"a": 1})
    tx.__exit__()
    tx.__exit__()
    assert e.state.version == 3 and e.state.data.to_dict() == {"a": 1}


def test_bad_pending_signal_fails_at_exit_and_commits_nothing():
    e = k.KavexEngine()
    with pytest.raises(TypeError):
        with e.transaction() as tx:
            tx.update(signal="plain text")
    assert e.state.version == 1
    assert [m.message for m in e.state.meta] == ["State updated to version 2"]


def test_write_timeout():
    e = k.KavexEngine()
    with e.transaction(write_timeout_ms=1000):
        pass
    assert e.state.version == 2
    with pytest.raises(k.WriteTimeoutError) as info:
        with k.Transaction(e, write_timeout_ms=0) as tx:
            tx.update(data={"a": 1})
            tx.outbox.add(k.OutboxMsg("t", 1))
            time.sleep(0.01)
    msg = str(info.value)
    assert msg.startswith("Transaction timed out after ") and msg.endswith("ms (limit 0ms)")
    assert int(msg[len("Transaction timed out after "):].split("ms")[0]) >= 10
    assert e.state.version == 2
    assert isinstance(info.value, TimeoutError)
    # Never entered: no start time, never times out.
    k.Transaction(e, write_timeout_ms=0).__exit__()
    assert e.state.version == 3


class Validator:
    def __init__(self, exc=None):
        self.seen, self.exc = [], exc

    def model_validate(self, data):
        self.seen.append(data)
        if self.exc:
            raise self.exc


def test_schema_sees_the_new_data_zone_and_refusals_commit_nothing():
    e = k.KavexEngine()
    ok = Validator()
    e.set_schema(ok)
    with e.transaction() as tx:
        tx.update(data={"a": 1}, heavy={"h": 1})
    assert ok.seen == [{"a": 1}] and e.state.version == 2

    e.set_schema(Validator(ValueError("bad")))
    with pytest.raises(k.SchemaViolationError) as info:
        with e.transaction() as tx:
            tx.update(data={"a": 2})
            tx.outbox.add(k.OutboxMsg("kept", 1))
    assert str(info.value) == "Schema Violation: ValueError: bad"
    assert isinstance(info.value.__cause__, ValueError)
    assert e.state.version == 2 and e.state.data["a"] == 1

    e.set_schema(None)  # removed: commits are no longer validated
    with e.transaction() as tx:
        tx.update(data={"a": 3})
    assert e.state.data["a"] == 3


def test_schema_exception_whose_str_fails():
    class Odd(Exception):
        def __str__(self):
            raise RuntimeError

    e = k.KavexEngine()
    e.set_schema(Validator(Odd()))
    with pytest.raises(k.SchemaViolationError, match=r"^Schema Violation: .*Odd: <exception str\(\) failed>$"):
        with e.transaction():
            pass


class User(pydantic.BaseModel):
    name: str
    age: int


def test_pydantic_model_as_schema():
    e = k.KavexEngine()
    e.set_schema(User)
    with e.transaction() as tx:
        tx.update(data={"name": "ada", "age": 36})
    assert e.state.version == 2
    with pytest.raises(k.SchemaViolationError) as info:
        with e.transaction() as tx:
            tx.update(data={"age": "old"})
    assert str(info.value).startswith("Schema Violation: ValidationError: ")
    assert e.state.version == 2 and e.state.data["age"] == 36


def test_validator_replacing_the_schema_raises_instead_of_hanging():
    e = k.KavexEngine()

    class Reentrant:
        def model_validate(self, data):
            e.set_schema(None)

    e.set_schema(Reentrant())
    with pytest.raises(k.SchemaViolationError, match="Schema Violation: RuntimeError: "):
        with e.transaction():
            pass


def test_outbox_moves_to_the_engine_on_commit_only():
    e = k.KavexEngine()
    e.set_schema(Validator(ValueError("no")))
    tx = e.transaction()
    msg = k.OutboxMsg("t", [1])
    tx.outbox.add(msg)
    with pytest.raises(k.SchemaViolationError):
        tx.__exit__()
    e.set_schema(None)
    tx.__exit__()
    seen = []
    e.attach_worker(seen.append)
    e.process_outbox()
    assert [m.topic for m in seen] == ["t"] and seen[0] is not msg and seen[0].payload is msg.payload
    with pytest.raises(TypeError, match="argument 'msg': expected OutboxMsg, got dict"):
        tx.outbox.add({})
    with pytest.raises(TypeError, match="No constructor defined for OutboxCollector"):
        k.OutboxCollector()


def test_shadow_copies_and_internal_log():
    tx = k.Transaction()
    value = [[1], 2]
    a, b = tx.get_shadow(value), tx.get_shadow(value, _path="x")
    assert a == value and a is not value and a[0] is not value[0] and a is not b
    assert tx.log_internal("a.b", "SET") is None
    assert tx.log_internal("a", "SET_ITEM", 1, 2, None, "k") is None
    with pytest.raises(TypeError, match="argument '_op'"):
        tx.log_internal("a", 1)
    assert not hasattr(tx, "log_delta")


def test_surface():
    assert str(inspect.signature(k.Transaction)) == "(engine=None, write_timeout_ms=5000)"
    tx = k.Transaction(write_timeout_ms=7)
    assert tx.write_timeout_ms == 7 and tx.outbox is not tx.outbox
    with pytest.raises(TypeError, match="argument 'engine'"):
        k.Transaction(engine=1)
    assert k.Transaction().__exit__(ValueError, None, None) is None


@pytest.mark.timeout(60)
def test_threads_committing_their_own_keys():
    e = k.KavexEngine()
    e.set_schema(Validator())

    def run(t):
        for i in range(1000):
            with e.transaction() as tx:
                tx.update(data={f"t{t}-{i}": i})

    threads = [threading.Thread(target=run, args=(t,)) for t in range(4)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert e.state.version == 4001
    assert len(e.state.data.to_dict()) == 4000


@pytest.mark.timeout(60)
def test_threads_racing_compare_and_swap_on_one_key():
    e = k.KavexEngine()
    e.compare_and_swap(1, data={"counter": 0})
    landed = []
    holders = []

    def run(name):
        for _ in range(200):
            while True:
                s = e.state
                time.sleep(0)  # invite a switch between the read and the write
                try:
                    e.compare_and_swap(s.version, data={"counter": s.data["counter"] + 1}, requester=name)
                except k.ContextError:
                    d = e.report_conflict(name)
                    if d.wait_ms == 1:
                        holders.append(name)
                    time.sleep(min(d.wait_ms, 2) / 1000)
                    continue
                e.report_success(name)
                landed.append(name)
                break

    threads = [threading.Thread(target=run, args=(f"p{i}",)) for i in range(4)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert len(landed) == 800
    assert e.state.data["counter"] == 800  # every write landed exactly once
    assert holders, "no writer was ever escalated to the priority holder"
