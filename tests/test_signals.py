"""SignalHub and SignalReceiver, and the state's hub."""

import asyncio
import gc
import threading

import pytest

import kavex_core as k

pytestmark = pytest.mark.timeout(60)


def test_publish_counts_current_receivers():
    hub = k.SignalHub()
    assert hub.publish("x") == 0
    a, b = hub.subscribe(), hub.subscribe()
    assert hub.publish("a") == 2
    assert (a.recv(), b.recv()) == ("a", "a")
    late = hub.subscribe()
    hub.publish("b")
    assert late.recv() == "b"
    del b
    gc.collect()
    assert hub.publish("c") == 2


@pytest.mark.parametrize("published, missed", [(128, 0), (129, 1), (150, 22)])
def test_ring_of_128_and_the_lag_report(published, missed):
    hub = k.SignalHub()
    r = hub.subscribe()
    for i in range(1, published + 1):
        hub.publish(f"m{i}")
    if missed:
        with pytest.raises(RuntimeError, match=f"^Channel Lagged: missed {missed} messages$"):
            r.recv()
    assert [r.recv() for _ in range(published - missed)] == [f"m{i}" for i in range(missed + 1, published + 1)]


def test_closed_channel_delivers_unread_messages_then_stops():
    hub = k.SignalHub()
    r = hub.subscribe()
    hub.publish("last")
    del hub
    gc.collect()
    assert r.recv() == "last"
    for _ in range(2):
        with pytest.raises(StopAsyncIteration, match="^Channel Closed$"):
            r.recv()


def test_publish_argument_and_surface():
    hub = k.SignalHub()
    with pytest.raises(TypeError, match="^argument 'msg': expected str, got bytes$"):
        hub.publish(b"x")
    with pytest.raises(TypeError, match="No constructor defined for SignalReceiver"):
        k.SignalReceiver()
    assert k.SignalReceiver.recv.__doc__ == "Blocking receive. intended to be called via asyncio.to_thread()"


def test_recv_waits_with_the_interpreter_lock_released():
    hub = k.SignalHub()
    r = hub.subscribe()
    got = []
    t = threading.Thread(target=lambda: got.append(r.recv()))
    t.start()
    t.join(0.1)
    assert t.is_alive()  # blocked, and this thread still runs
    hub.publish("wake")
    t.join(5)
    assert got == ["wake"]


def test_recv_from_asyncio_keeps_the_loop_running():
    async def main():
        hub = k.SignalHub()
        r = hub.subscribe()
        ticks = 0

        async def ticker():
            nonlocal ticks
            while True:
                ticks += 1
                await asyncio.sleep(0.001)

        async def publisher():
            await asyncio.sleep(0.05)
            hub.publish("hello")

        tick_task = asyncio.create_task(ticker())
        received, _ = await asyncio.gather(asyncio.to_thread(r.recv), publisher())
        tick_task.cancel()
        return received, ticks

    received, ticks = asyncio.run(main())
    assert received == "hello" and ticks >= 5


def test_threads_on_one_receiver_each_get_distinct_messages():
    hub = k.SignalHub()
    r = hub.subscribe()
    got, lock = [], threading.Lock()

    def take():
        while True:
            try:
                text = r.recv()
            except StopAsyncIteration:
                return
            with lock:
                got.append(text)

    threads = [threading.Thread(target=take) for _ in range(3)]
    for t in threads:
        t.start()
    for i in range(100):
        hub.publish(str(i))
    del hub
    for t in threads:
        t.join(10)
    assert sorted(got, key=int) == [str(i) for i in range(100)]


def test_stress_every_message_is_received_or_reported_missed():
    publishers, per_publisher = 4, 10_000
    hub = k.SignalHub()
    receivers = [hub.subscribe() for _ in range(4)]
    results = [None] * len(receivers)

    def consume(index, r):
        received, missed, last = 0, 0, {}
        while True:
            try:
                text = r.recv()
            except RuntimeError as exc:
                missed += int(str(exc).split()[3])
                continue
            except StopAsyncIteration:
                break
            pub, seq = map(int, text.split(":"))
            assert seq > last.get(pub, -1), "a publisher's messages arrived out of order"
            last[pub] = seq
            received += 1
        results[index] = (received, missed)

    def produce(pub):
        for seq in range(per_publisher):
            hub.publish(f"{pub}:{seq}")

    consumers = [threading.Thread(target=consume, args=(i, r)) for i, r in enumerate(receivers)]
    producers = [threading.Thread(target=produce, args=(p,)) for p in range(publishers)]
    del receivers
    for t in consumers + producers:
        t.start()
    for t in producers:
        t.join()
    del hub  # the last sender share: the channel closes
    for t in consumers:
        t.join(30)
    assert all(not t.is_alive() for t in consumers)
    assert [received + missed for received, missed in results] == [publishers * per_publisher] * 4


def test_state_lineage_shares_one_hub():
    s = k.State()
    r_first = s.signal.subscribe()
    t = s.update(signal={"go": 1})
    r_second = t.signal.subscribe()
    t.update(signal=[{"a": 1}, {"a": 2}])
    assert [r_first.recv() for _ in range(3)] == ["go:1", "a:1", "a:2"]
    assert [r_second.recv() for _ in range(2)] == ["a:1", "a:2"]


def test_restricted_view_has_a_hub_of_its_own():
    s = k.State()
    r = s.signal.subscribe()
    view = s.restrict_view()
    view_r = view.signal.subscribe()
    view.update(signal={"v": 1})
    s.update(signal={"s": 1})
    assert r.recv() == "s:1"
    assert view_r.recv() == "v:1"


def test_signals_published_before_a_failed_update_stay_published():
    s = k.State()
    r = s.signal.subscribe()
    with pytest.raises(TypeError):
        s.update(signal=[{"ok": 1}, "not a dict"])
    assert r.recv() == "ok:1"
