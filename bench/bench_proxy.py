"""SupervisorProxy reads and writes against the same operations on the plain dict."""

import kavex_core as k
from _common import best_in_alternation, report

LOOPS = 5_000
UNROLL = 10  # operations per loop pass, so the loop itself weighs little
OPS = LOOPS * UNROLL
ROUNDS = 40


def compare(ours, peer):
    """Best time per operation of each, measured in alternation so that a busy
    moment of the machine affects both sides alike."""
    return best_in_alternation([ours, peer], OPS, rounds=ROUNDS)


class Recorder:
    def __init__(self):
        self.count = 0

    def log_delta(self, path, old, new):
        self.count += 1


def main():
    d = {"a": {"b": 1}}
    p = k.SupervisorProxy(d, "domain")
    r = range(LOOPS)

    def proxy_attr():
        for _ in r:
            p.a; p.a; p.a; p.a; p.a; p.a; p.a; p.a; p.a; p.a  # noqa: E702

    def dict_item():
        for _ in r:
            d["a"]; d["a"]; d["a"]; d["a"]; d["a"]; d["a"]; d["a"]; d["a"]; d["a"]; d["a"]  # noqa: E702

    def proxy_nested():
        for _ in r:
            p.a.b; p.a.b; p.a.b; p.a.b; p.a.b; p.a.b; p.a.b; p.a.b; p.a.b; p.a.b  # noqa: E702

    def dict_nested():
        for _ in r:
            d["a"]["b"]; d["a"]["b"]; d["a"]["b"]; d["a"]["b"]; d["a"]["b"]; d["a"]["b"]; d["a"]["b"]; d["a"]["b"]; d["a"]["b"]; d["a"]["b"]  # noqa: E501, E702

    def proxy_item():
        for _ in r:
            p["a"]; p["a"]; p["a"]; p["a"]; p["a"]; p["a"]; p["a"]; p["a"]; p["a"]; p["a"]  # noqa: E702

    w = {"x": 0}
    logged = k.SupervisorProxy(w, "domain", transaction=Recorder())

    def proxy_logged_write():
        for i in r:
            logged.x = i; logged.x = i; logged.x = i; logged.x = i; logged.x = i  # noqa: E702
            logged.x = i; logged.x = i; logged.x = i; logged.x = i; logged.x = i  # noqa: E702

    def dict_write():
        for i in r:
            w["x"] = i; w["x"] = i; w["x"] = i; w["x"] = i; w["x"] = i  # noqa: E702
            w["x"] = i; w["x"] = i; w["x"] = i; w["x"] = i; w["x"] = i  # noqa: E702

    print('SupervisorProxy over d = {"a": {"b": 1}} at path "domain", against the plain dict')
    cases = [
        ("p.a (new child proxy) vs d['a']", proxy_attr, "d['a']", dict_item, 5.0),
        ("p.a.b vs d['a']['b']", proxy_nested, "d['a']['b']", dict_nested, 8.0),
        ("p['a'] (new child proxy) vs d['a']", proxy_item, "d['a']", dict_item, None),
        ("p.x = v, logged by a Python log_delta, vs d['x'] = v", proxy_logged_write, "d['x'] = v", dict_write, None),
    ]
    for what, ours, peer_name, peer, target in cases:
        ours_time, peer_time = compare(ours, peer)
        report("  " + what, ours_time, peer_name, peer_time, target=target)


if __name__ == "__main__":
    main()
