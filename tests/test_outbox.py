"""OutboxMsg and Outbox."""

import inspect

import pytest

import kavex_core as k


def test_message_shares_its_payload():
    payload = {"x": 1}
    a, b = k.OutboxMsg("t", payload), k.OutboxMsg(topic="u", payload=payload)
    assert a.payload is payload and b.payload is payload
    assert (a.topic, b.topic) == ("t", "u")
    with pytest.raises(AttributeError):
        a.topic = "v"


def test_message_conversions():
    with pytest.raises(TypeError, match="^argument 'topic': expected str, got int$"):
        k.OutboxMsg(1, None)
    with pytest.raises(TypeError, match="missing required argument 'payload'"):
        k.OutboxMsg("t")
    assert str(inspect.signature(k.OutboxMsg)) == "(topic, payload)"
