"""ProcessContext, the Outbox it hands out, and execute_process_async."""

import asyncio
import inspect
import threading

import pytest

import kavex_core as k


def test_context_fields_and_fall_through_to_the_state():
    state = k.State(data={"x": 1}, version=3)
    local = {"scratch": 1}
    ctx = k.ProcessContext(state, local)
    assert ctx.state is state and ctx.local is local and ctx.tx is None
    assert ctx.version == 3 and ctx.data["x"] == 1 and callable(ctx.update)
    with pytest.raises(AttributeError, match=r"^'ProcessContext' object has no attribute 'nothing'$"):
        ctx.nothing
    with pytest.raises(AttributeError):
        ctx.local = {}
    tx = k.Transaction()
    assert k.ProcessContext(state, {}, tx).tx is tx


@pytest.mark.parametrize(
    "args, name",
    [((None, {}), "state"), ((k.State(), []), "local"), ((k.State(), {}, 1), "tx")],
)
def test_context_conversions(args, name):
    with pytest.raises(TypeError, match=f"^argument '{name}'"):
        k.ProcessContext(*args)


def test_outbox_is_shared_by_every_access_and_copies_messages():
    ctx = k.ProcessContext(k.State(), {})
    first, second = ctx.outbox, ctx.outbox
    assert first is not second and first.messages == []
    payload = {"p": 1}
    msg = k.OutboxMsg("topic", payload)
    first.add(msg)
    (queued,) = second.messages
    assert queued is not msg and queued.topic == "topic" and queued.payload is payload
    snapshot = second.messages
    snapshot.clear()
    assert len(second.messages) == 1
    with pytest.raises(TypeError, match="^argument 'msg': expected OutboxMsg, got dict$"):
        first.add({})
    outbox_type = type(first)
    assert outbox_type.__name__ == "Outbox" and outbox_type().messages == []
    assert str(inspect.signature(outbox_type)) == "()"


def test_context_domain_accessors_read_the_state():
    ctx = k.ProcessContext(k.State(), {})
    assert ctx.domain_ctx is None and ctx.global_ctx is None


def test_coroutine_process_sees_the_state_of_the_call():
    engine = k.KavexEngine()
    state = engine.state

    async def process(ctx):
        assert ctx.local == {} and ctx.tx is None
        return ctx.state

    coro = engine.execute_process_async("p", process)
    assert inspect.iscoroutine(coro)
    engine.compare_and_swap(1, data={"later": 1})
    assert asyncio.run(coro) is state


def test_plain_process_runs_on_a_worker_thread_only_when_awaited():
    engine = k.KavexEngine()
    ran = []

    def process(ctx):
        ran.append(threading.current_thread() is not threading.main_thread())
        with engine.transaction() as tx:
            tx.update(data={"from": "thread"})
        return "done"

    awaitable = engine.execute_process_async(name="p", func=process)
    assert ran == []
    assert asyncio.run(awaitable) == "done"
    assert ran == [True] and engine.state.data["from"] == "thread"
    engine.execute_process_async("p", process).close()  # never awaited: never run
    assert ran == [True]


def test_execute_process_async_name_must_be_text():
    with pytest.raises(TypeError, match="argument 'name'"):
        k.KavexEngine().execute_process_async(1, print)
