"""Repeated calls across the engine, transactions, proxies and signals leave
memory flat and every reference count where it was."""

import gc
import sys

import pytest

import kavex_core as k
from conftest import SANITIZED, needs_plain_build, rss_bytes


class Schema:
    @staticmethod
    def model_validate(data):
        return data


def churn(engine, value, hub, receiver, rounds):
    sink = []
    engine.attach_worker(sink.append)
    for i in range(rounds):
        with engine.transaction() as tx:
            tx.update(data={"v": value, "n": {"inner": value}}, heavy={"h": value}, signal={"s": i})
            tx.outbox.add(k.OutboxMsg("t", value))
        engine.process_outbox()
        sink.clear()
        state = engine.state
        engine.compare_and_swap(state.version, data={"v": value}, requester="p")
        try:
            engine.compare_and_swap(state.version, data={"v": value})
        except k.ContextError:
            engine.report_conflict("p")
            engine.report_success("p")
        proxy = engine.state.domain_proxy()
        if proxy is not None:
            proxy.inner
            proxy.x = value
        ctx = k.ProcessContext(engine.state, {"v": value})
        ctx.outbox.add(k.OutboxMsg("c", value))
        ctx.version, ctx.outbox.messages
        hub.publish(str(i))
        receiver.recv()
        engine.state.data.to_dict()
    engine.attach_worker(None)


def run(rounds):
    engine = k.KavexEngine()
    engine.set_schema(Schema)
    engine.commit_state(k.State(data={"domain": {"inner": 1}}))
    value = object()
    hub = k.SignalHub()
    receiver = hub.subscribe()
    churn(engine, value, hub, receiver, 200)  # warm up
    gc.collect()
    refs = sys.getrefcount(value)
    before = rss_bytes()
    churn(engine, value, hub, receiver, rounds)
    gc.collect()
    return refs, sys.getrefcount(value), rss_bytes() - before


@needs_plain_build
def test_engine_paths_do_not_leak():
    refs_before, refs_after, grown = run(20_000)
    # The engine still holds the value in its current state: equal counts
    # mean nothing was gained or lost over 20,000 rounds.
    assert refs_after == refs_before
    assert grown < 4 * 2**20


@pytest.mark.skipif(not SANITIZED, reason="the short run is for the sanitizer build")
def test_engine_paths_balance_reference_counts_under_the_sanitizer():
    refs_before, refs_after, _ = run(300)
    assert refs_after == refs_before
