"""The size of the pool that scores candidates (exact MaxSim).

The package's native core has its own worker pool, separate from the
router's (both start at RAYON_NUM_THREADS when it is set, otherwise at the
processors this process may use, capped by its cgroup's CPU quota). Scoring
uses no BLAS, so NumPy's BLAS threads play no part in it.
"""

from __future__ import annotations

from . import _native


def set_num_threads(n: int | None) -> None:
    """Score on `n` threads in all, the calling one included (1: on the
    calling thread only); None returns to the default size. A large
    candidate set is split over them; a small one always runs on the
    calling thread. Scores are the same bits for any `n`."""
    if n is None:
        _native.set_num_threads(0)
        return
    if isinstance(n, bool) or not isinstance(n, int) or n < 1:
        raise ValueError(f"the thread count must be a positive integer or None, got {n!r}")
    _native.set_num_threads(n)


def get_num_threads() -> int:
    """Threads the scoring pool runs on, the calling one included."""
    return int(_native.get_num_threads())
