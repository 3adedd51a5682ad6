import os

import pytest

# Set by `make asan-test`: the sanitizer runtime changes memory figures.
SANITIZED = bool(os.environ.get("KAVEX_SANITIZED"))

needs_plain_build = pytest.mark.skipif(SANITIZED, reason="memory figures are meaningless under the sanitizer")


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
