"""State.update and zone reads against immutables.Map and a dict copy."""

import gc
import random

import immutables

import kavex_core as k
from _common import best_in_alternation, best_per_op, heap_in_use, report


def single_key_updates(n_keys):
    keys = [f"key{i}" for i in range(n_keys)]
    state = k.State(data={key: i for i, key in enumerate(keys)})
    imap = immutables.Map({key: i for i, key in enumerate(keys)})
    rng = random.Random(1)
    picks = [rng.choice(keys) for _ in range(20_000)]
    args = [{key: 1} for key in picks]

    def run_state():
        update = state.update
        for a in args:
            update(data=a)

    def run_map():
        set_ = imap.set
        for key in picks:
            set_(key, 1)

    ours, peer = best_in_alternation([run_state, run_map], len(args), rounds=10)
    return state, keys, ours, peer


def main():
    print("State.update(data={k: v}) against immutables.Map.set (one key written into an n-key state)")
    costs, peer_costs = {}, {}
    for n in (1_000, 100_000, 1_000_000):
        state, keys, ours, peer = single_key_updates(n)
        costs[n], peer_costs[n] = ours, peer
        report(f"  single-key update, {n:>9,} keys", ours, "Map.set", peer, target=2.0 if n == 1_000_000 else None)
    big_state, big_keys = state, keys
    growth = costs[1_000_000] / costs[1_000]
    print(f"  1M-key cost / 1k-key cost: {growth:.2f}x (Map.set: {peer_costs[1_000_000] / peer_costs[1_000]:.2f}x)"
          f"  target <= 3x: {'ok' if growth <= 3 else 'MISSED'}")

    plain = {key: i for i, key in enumerate(big_keys)}
    copies = 5
    dict_copy = best_per_op(lambda: [{**plain, "key7": 1} for _ in range(copies)], copies, repeat=3)
    report("  single-key update, 1,000,000 keys vs dict copy", costs[1_000_000], "{**d, k: v}", dict_copy,
           target=1 / 1000)

    print("Reading a 100k-key zone into a dict")
    keys = [f"key{i}" for i in range(100_000)]
    state = k.State(data={key: i for i, key in enumerate(keys)})
    imap = immutables.Map({key: i for i, key in enumerate(keys)})
    ours, peer = best_in_alternation([lambda: state.data.to_dict(), lambda: dict(imap)], 1)
    report("  state.data.to_dict() vs dict(immutables.Map)", ours, "dict(Map)", peer, target=1.5)

    print("Memory: 1,000 successive single-key versions of a 1M-key state, all kept alive (heap in use)")
    gc.collect()
    before = heap_in_use()
    versions = [big_state]
    rng = random.Random(2)
    for i in range(1000):
        versions.append(versions[-1].update(data={rng.choice(big_keys): i}))
    gc.collect()
    added = heap_in_use() - before
    print(f"  added {added / 2**20:.2f} MB ({added / 1000 / 1024:.2f} KB per version; target < 5 MB)"
          f"  {'ok' if added < 5 * 2**20 else 'MISSED'}")
    del versions


if __name__ == "__main__":
    main()
