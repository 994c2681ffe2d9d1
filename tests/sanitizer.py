"""Whether this interpreter runs under AddressSanitizer (`make asan-test`).

That run unwinds the whole stack on every allocation, so generated-input
tests draw fewer examples there: it looks for memory faults, which a tenth of
the examples reach as well.
"""

from __future__ import annotations


def _under_address_sanitizer() -> bool:
    with open("/proc/self/maps") as f:
        return "libasan" in f.read()


ASAN = _under_address_sanitizer()


def examples(n: int) -> int:
    """`n` hypothesis examples, or a tenth of them under the sanitizer."""
    return max(n // 10, 10) if ASAN else n
