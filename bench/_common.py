"""Shared helpers for the benchmarks: timing and one-line reports."""

import time


def best_per_op(fn, ops, repeat=5):
    """Best seconds per operation over `repeat` runs of fn() doing `ops` operations."""
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, (time.perf_counter() - t0) / ops)
    return best


def best_in_alternation(fns, ops, rounds=15):
    """Best seconds per operation of each function, measured in turn round
    after round so that a busy moment of the machine affects all alike."""
    best = [float("inf")] * len(fns)
    for _ in range(rounds):
        for i, fn in enumerate(fns):
            best[i] = min(best[i], best_per_op(fn, ops, repeat=1))
    return best


def fmt_time(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def report(what, ours, peer_name, peer, target=None, lower_is_better=True):
    """Prints our figure beside the peer's, their ratio and the target."""
    ratio = ours / peer
    verdict = ""
    if target is not None:
        ok = ratio <= target if lower_is_better else ratio >= target
        verdict = f"  target {'<=' if lower_is_better else '>='} {target:g}x: {'ok' if ok else 'MISSED'}"
    print(f"{what:<58} kavex {fmt_time(ours):>9}   {peer_name} {fmt_time(peer):>9}   ratio {ratio:7.3f}x{verdict}")
    return ratio


def heap_in_use():
    """Bytes the C allocator has handed out and not taken back (glibc)."""
    import ctypes

    class MallInfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in
                    ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
                     "fordblks", "keepcost")]

    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = MallInfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd
