"""A small process-oriented application on kavex_core: an order desk.

Processes run in transactions against one engine; a schema guards the data
zone; committed messages go to an outbox worker; a signal subscriber watches
state changes; two clerks race an optimistic counter with backoff.
"""

import asyncio
import threading
import time

import kavex_core as k
from kavex_core import shm


class OrderBook:
    """A minimal schema: what a pydantic model's model_validate would do."""

    @staticmethod
    def model_validate(data):
        for order in data.get("orders", {}).values():
            if order["qty"] <= 0:
                raise ValueError(f"quantity must be positive, got {order['qty']}")
        return data


def take_order(engine, order_id, qty):
    with engine.transaction(write_timeout_ms=1000) as tx:
        orders = dict(engine.state.data.get("orders") or {})
        orders[order_id] = {"qty": qty}
        tx.update(data={"orders": orders}, signal={"order": order_id})
        tx.outbox.add(k.OutboxMsg("orders.new", {"id": order_id, "qty": qty}))


def clerk(engine, name, rounds):
    for _ in range(rounds):
        while True:
            state = engine.state
            try:
                engine.compare_and_swap(state.version, data={"served": state.data.get("served", 0) + 1},
                                        requester=name)
            except k.ContextError:
                time.sleep(engine.report_conflict(name).wait_ms / 1000)
                continue
            engine.report_success(name)
            break


async def report(engine):
    async def summary(ctx):
        return f"version {ctx.version}, {len(ctx.data['orders'])} orders, {ctx.data['served']} served"

    print("async process:", await engine.execute_process_async("summary", summary))


def main():
    engine = k.KavexEngine()
    engine.set_schema(OrderBook)
    watcher = engine.state.signal.subscribe()
    shipped = []
    engine.attach_worker(lambda msg: shipped.append((msg.topic, msg.payload["id"])))

    take_order(engine, "A-1", 2)
    take_order(engine, "A-2", 5)
    try:
        take_order(engine, "A-3", 0)
    except k.SchemaViolationError as err:
        print("refused:", err)
    print("signals seen:", [watcher.recv() for _ in range(3)])  # A-3 published before it was refused

    engine.process_outbox()
    print("shipped:", shipped)

    clerks = [threading.Thread(target=clerk, args=(engine, f"clerk{i}", 50)) for i in range(2)]
    for t in clerks:
        t.start()
    for t in clerks:
        t.join()
    print("served:", engine.state.data["served"], "at version", engine.state.version)

    view = k.State(data={"domain": engine.state.data.to_dict()}).domain  # a read-only proxy
    print("orders via", view, "->", view.orders.to_dict())
    try:
        view.orders["A-9"] = {"qty": 1}
    except PermissionError as err:
        print("proxy refused a write:", err)
    print("meta log tail:", engine.state.meta[-1])
    asyncio.run(report(engine))

    frame = shm.BufferDescriptor("camera-frames", 640 * 480 * 3, (480, 640, 3), "uint8")
    print("frame buffer:", frame)


if __name__ == "__main__":
    main()
