"""Transactions and compare-and-swap against the bare commit sequence and a
plain-Python locked store."""

import threading

import kavex_core as k
from _common import best_in_alternation, report

N = 5_000


def bare(engine, args):
    for a in args:
        engine.commit_state(engine.state.update(data=a))


def transactions(engine, args):
    for a in args:
        with engine.transaction() as tx:
            tx.update(data=a)


def swaps(engine, args):
    for a in args:
        engine.compare_and_swap(engine.state.version, data=a)


class LockedDictStore:
    """What a user would write instead: copy the dict under a lock per commit."""

    def __init__(self, data):
        self.lock = threading.Lock()
        self.data = dict(data)
        self.version = 1

    def commit(self, changes):
        with self.lock:
            new = dict(self.data)
            new.update(changes)
            self.data = new
            self.version += 1


def main():
    args = [{f"k{i % 100}": i} for i in range(N)]
    engine = k.KavexEngine()
    ours_bare, ours_tx, ours_cas = best_in_alternation(
        [lambda: bare(engine, args), lambda: transactions(engine, args), lambda: swaps(engine, args)], N)
    print("One-key commits on an engine")
    report("  transaction (with engine.transaction() as tx: tx.update)", ours_tx,
           "bare commit_state(update)", ours_bare, target=1.5)
    report("  compare_and_swap, no conflict", ours_cas, "bare commit_state(update)", ours_bare, target=1.3)

    print("Against a plain-Python store that copies a 10k-key dict under a lock")
    initial = {f"key{i}": i for i in range(10_000)}
    engine = k.KavexEngine()
    engine.commit_state(k.State(data=initial))
    store = LockedDictStore(initial)
    n = 1_000
    small = args[:n]
    ours, peer = best_in_alternation([lambda: transactions(engine, small), lambda: [store.commit(a) for a in small]], n,
                                     rounds=5)
    report("  one-key transaction, 10k-key state (lower is better)", ours, "locked dict copy", peer, target=1 / 50)


if __name__ == "__main__":
    main()
