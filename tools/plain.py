"""Plain cache simulators, apart from the engine: naive, one access at a
time, no shortcuts, under each replacement and write policy that
loadgrid-model's misses --policy, --write and --kinds and lab answer for.
The tests and the random differential test hold the engine to them.
"""
M64 = (1 << 64) - 1


class Plain:
    """One cache of sets lists of ways, a policy and a write policy, each
    access looked up from scratch."""

    def __init__(self, sets, ways, line, policy="lru", back=True):
        self.sets, self.ways, self.line = sets, ways, line
        self.policy, self.back = policy, back
        self.tags = [[None] * ways for _ in range(sets)]
        self.dirty = [[False] * ways for _ in range(sets)]
        self.used = [[0] * ways for _ in range(sets)]    # LRU: last use
        self.filled = [[0] * ways for _ in range(sets)]  # FIFO: fill time
        self.bits = [[0] * ways for _ in range(sets)]    # PLRU: node bits
        self.clock = 0
        self.state = int(policy.split(":")[1]) or 1 if ":" in policy else 0
        self.n = dict(reads=0, writes=0, read_misses=0, write_misses=0,
                      evictions=0, writebacks=0)

    def draw(self):
        """xorshift64*."""
        x = self.state
        x ^= x >> 12
        x ^= (x << 25) & M64
        x ^= x >> 27
        self.state = x
        return (x * 0x2545F4914F6CDD1D) & M64

    def touch_plru(self, s, way):
        node = way + self.ways - 1
        while node:
            parent = (node - 1) // 2
            self.bits[s][parent] = 0 if node == 2 * parent + 2 else 1
            node = parent

    def access(self, addr, write):
        """'hit', 'miss' or 'miss eviction'."""
        self.clock += 1
        n = addr // self.line
        s, tags = n % self.sets, self.tags[n % self.sets]
        self.n["writes" if write else "reads"] += 1
        if n in tags:
            way = tags.index(n)
            self.used[s][way] = self.clock
            if self.policy == "plru":
                self.touch_plru(s, way)
            self.dirty[s][way] |= write and self.back
            return "hit"
        self.n["write_misses" if write else "read_misses"] += 1
        if write and not self.back:
            return "miss"
        if None in tags:
            way = tags.index(None)
        elif self.policy == "lru":
            way = self.used[s].index(min(self.used[s]))
        elif self.policy == "fifo":
            way = self.filled[s].index(min(self.filled[s]))
        elif self.policy == "plru":
            node = 0
            while node < self.ways - 1:
                node = 2 * node + 1 + self.bits[s][node]
            way = node - (self.ways - 1)
        else:
            way = self.draw() % self.ways
        evicted = tags[way] is not None
        self.n["evictions"] += evicted
        self.n["writebacks"] += evicted and self.dirty[s][way]
        tags[way] = n
        self.dirty[s][way] = write
        self.used[s][way] = self.filled[s][way] = self.clock
        if self.policy == "plru":
            self.touch_plru(s, way)
        return "miss eviction" if evicted else "miss"

    def dirty_lines(self):
        return sum(t is not None and d for ts, ds in zip(self.tags, self.dirty)
                   for t, d in zip(ts, ds))


def din(text):
    """(address, write) for each data record of a din trace."""
    for line in text.splitlines():
        label, addr = line.split()
        if label != "2":
            yield int(addr, 16), label == "1"


def plain_figures(accesses, sets, ways, line, policy, back):
    """The columns of misses --kinds for one cache, counted plainly."""
    c = Plain(sets, ways, line, policy, back)
    full = Plain(1, sets * ways, line, "lru", back)
    lines = set()
    for addr, write in accesses:
        c.access(addr, write)
        full.access(addr, write)
        lines.add(addr // line)
    misses = c.n["read_misses"] + c.n["write_misses"]
    fa = full.n["read_misses"] + full.n["write_misses"]
    return [c.n["reads"], c.n["writes"], c.n["read_misses"],
            c.n["write_misses"], c.n["evictions"], c.n["writebacks"],
            c.dirty_lines() if back else c.n["writes"],
            len(lines), fa - len(lines), misses - fa]
