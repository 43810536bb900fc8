"""An independent pure-Python model of the seeded generator and k-means++ seeding."""
import struct

MASK32 = 0xFFFFFFFF
MASK64 = 0xFFFFFFFFFFFFFFFF


def _rotl(x, n):
    return ((x << n) | (x >> (32 - n))) & MASK32


def _quarter(s, a, b, c, d):
    s[a] = (s[a] + s[b]) & MASK32; s[d] = _rotl(s[d] ^ s[a], 16)
    s[c] = (s[c] + s[d]) & MASK32; s[b] = _rotl(s[b] ^ s[c], 12)
    s[a] = (s[a] + s[b]) & MASK32; s[d] = _rotl(s[d] ^ s[a], 8)
    s[c] = (s[c] + s[d]) & MASK32; s[b] = _rotl(s[b] ^ s[c], 7)


def chacha_block(key, counter, rounds=12):
    init = [0x61707865, 0x3320646E, 0x79622D32, 0x6B206574, *key,
            counter & MASK32, counter >> 32, 0, 0]
    s = list(init)
    for _ in range(rounds // 2):
        _quarter(s, 0, 4, 8, 12); _quarter(s, 1, 5, 9, 13); _quarter(s, 2, 6, 10, 14); _quarter(s, 3, 7, 11, 15)
        _quarter(s, 0, 5, 10, 15); _quarter(s, 1, 6, 11, 12); _quarter(s, 2, 7, 8, 13); _quarter(s, 3, 4, 9, 14)
    return [(x + y) & MASK32 for x, y in zip(s, init)]


class Rng:
    def __init__(self, seed):
        state = seed & MASK64
        self.key = []
        for _ in range(8):
            state = (state * 6364136223846793005 + 11634580027462260723) & MASK64
            x = ((((state >> 18) ^ state) >> 27)) & MASK32
            r = state >> 59
            self.key.append(((x >> r) | (x << ((32 - r) % 32))) & MASK32)
        self.counter = 0
        self.buf = []
        self.idx = 0

    def next_u32(self):
        if self.idx >= len(self.buf):
            self.buf = []
            for _ in range(4):
                self.buf += chacha_block(self.key, self.counter)
                self.counter += 1
            self.idx = 0
        v = self.buf[self.idx]
        self.idx += 1
        return v

    def next_u64(self):
        lo = self.next_u32()
        hi = self.next_u32()
        return (hi << 32) | lo

    def uniform_index(self, n):
        lz = 64 - n.bit_length()
        zone = ((n << lz) - 1) & MASK64
        while True:
            p = self.next_u64() * n
            if p & MASK64 <= zone:
                return p >> 64

    def uniform_float(self, total):
        while True:
            bits = (self.next_u64() >> 12) | 0x3FF0000000000000
            u = struct.unpack("<d", struct.pack("<Q", bits))[0] - 1.0
            r = u * total
            if r < total:
                return r


def sqdist(a, b):
    s = 0.0
    for x, y in zip(a, b):
        s += (x - y) * (x - y)
    return s


def kmeans_plus_plus(rows, k, seed):
    return [list(rows[i]) for i in kmeans_plus_plus_rows(rows, k, seed)]


def kmeans_plus_plus_rows(rows, k, seed):
    """The indices of the rows k-means++ picks, in choice order; `seed` may be an Rng to continue."""
    rng = seed if isinstance(seed, Rng) else Rng(seed)
    n = len(rows)
    chosen = [rng.uniform_index(n)]
    best = [float("inf")] * n
    for _ in range(1, k):
        for i, row in enumerate(rows):
            d2 = sqdist(row, rows[chosen[-1]])
            if d2 < best[i]:
                best[i] = d2
        total = 0.0
        for v in best:
            total += v
        if not total > 0.0:
            pick = rng.uniform_index(n)
        else:
            r = rng.uniform_float(total)
            pick, running = n - 1, 0.0
            for i, v in enumerate(best):
                running += v
                if running >= r:
                    pick = i
                    break
        chosen.append(pick)
    return chosen


class MiniBatchModel:
    """Mini-batch k-means as the engine defines it: the first chunk seeds (the first of least
    inertia on it among n_init k-means++ seedings), every later row moves its nearest center by
    1 / count; with `reassign`, centers whose count is below ratio x the largest move onto rows of
    the chunk drawn by the generator (at most half the rows, the emptiest first) and take the
    smallest count among the centers that stay."""

    def __init__(self, k, seed):
        self.k, self.rng, self.centers, self.counts = k, Rng(seed), None, [0] * k

    def partial_fit(self, chunk, n_init=1, ratio=0.0, reassign=False):
        """Returns each row's center and the sum of the rows' squared distances to them as they arrived."""
        rows = [list(map(float, r)) for r in chunk]
        labels, inertia = [], 0.0
        if not rows:
            return labels, inertia
        if self.centers is None:
            best = None
            for _ in range(n_init):
                seeds = kmeans_plus_plus(rows, self.k, self.rng)
                cost = 0.0
                for x in rows:
                    cost += min(sqdist(x, c) for c in seeds)
                if best is None or cost < best[0]:
                    best = (cost, seeds)
            self.centers = best[1]
            for x in rows:
                dists = [sqdist(x, c) for c in self.centers]
                labels.append(dists.index(min(dists)))
                inertia += min(dists)
            return labels, inertia
        for x in rows:
            dists = [sqdist(x, c) for c in self.centers]
            c = dists.index(min(dists))
            labels.append(c)
            inertia += dists[c]
            self.counts[c] += 1
            eta = 1.0 / self.counts[c]
            self.centers[c] = [v + eta * (xj - v) for v, xj in zip(self.centers[c], x)]
        if reassign and ratio > 0:
            threshold = ratio * max(self.counts)
            starved = [c for c in range(self.k) if self.counts[c] < threshold]
            starved = sorted(sorted(starved, key=lambda c: self.counts[c])[:len(rows) // 2])
            if not starved:
                return labels, inertia
            kept = [self.counts[c] for c in range(self.k) if c not in starved]
            floor = min(kept) if kept else max(self.counts)
            taken = []
            for c in starved:
                row = self.rng.uniform_index(len(rows))
                while row in taken:
                    row = self.rng.uniform_index(len(rows))
                taken.append(row)
                self.centers[c], self.counts[c] = list(rows[row]), floor
        return labels, inertia
