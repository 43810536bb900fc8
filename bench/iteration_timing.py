"""Per-iteration timing shared by the scale-out benches (Dask, Spark): fits run
with a short and a long iteration budget, interleaved, and the difference of
their fastest runs divided by the extra iterations."""
import time

import numpy as np

LONG, SHORT = 11, 1


def timed(fit, iterations):
    # A pause first: the cluster's processes finish cleaning up after the previous
    # fit (freeing memory, collecting garbage) before the next one takes both cores.
    time.sleep(1.0)
    t = time.perf_counter()
    n_iter = fit(iterations)
    return time.perf_counter() - t, n_iter


def marginals(fits, repeats):
    """Seconds per Lloyd iteration of each fit: (fastest long run - fastest short run) / extra iterations,
    runs of the fits interleaved over `repeats` rounds; also the fastest long run. Best times, not a median of
    differences: one slow short run (page faults of a fresh copy, a busy core) would make that negative."""
    short = {name: np.inf for name in fits}
    long_ = {name: np.inf for name in fits}
    extra = {}
    for fit in fits.values():
        fit(SHORT)  # warm-up
    for _ in range(repeats):
        for name, fit in fits.items():
            t_short, n_short = timed(fit, SHORT)
            t_long, n_long = timed(fit, LONG)
            extra[name] = n_long - n_short
            short[name], long_[name] = min(short[name], t_short), min(long_[name], t_long)
    return {name: ((long_[name] - short[name]) / extra[name], long_[name]) for name in fits}
