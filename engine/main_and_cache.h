// Main's misses and an LRU write-back cache's figures in one replay, for
// commands that count more than the cores run at once.
#pragma once

#include <cstdint>

#include "cache.h"
#include "d1.h"
#include "replacement.h"
#include "trace_count.h"

// Main's count (D1Count) and the cache's (TraceCount), of one shape, each
// as it would count alone.  The replay leaves out an access only where
// neither count would change: the access's line at the front of both of
// main's caches, and at the front of the cache's set, dirty for a write.
// Both keep the din trace's lines in LRU order in sets of the one shape,
// so the two fronts are nearly always one line, and the replay's loop,
// its addresses and its checks serve the two counts at once.
class alignas(HOST_LINE) MainAndCache {
      public:
	static constexpr bool FETCHES = false;
	static constexpr bool FRONT_IS_LAST = false;
	static constexpr bool QUIET_HITS = false;

	explicit MainAndCache(CacheShape shape)
	    : main({{shape.sets, {shape.assoc}}}, shape.line), cache(shape, PolicyOptions{}),
	      both(shape.sets)
	{
	}

	D1Count main;
	TraceCount<LruReplacement> cache;

	// What the replay asks of a count.
	void operator()(char kind, std::uint64_t addr, std::uint32_t size, bool is_main, std::uint32_t place = 0)
	{
		main(kind, addr, size, is_main, place);
		cache(kind, addr, size, is_main, place);
		note(addr, size);
	}
	unsigned line_bits(char kind) const { return cache.line_bits(kind); }
	std::uint64_t set_of(char kind, std::uint64_t line) const { return cache.set_of(kind, line); }
	Front front(char kind, std::uint64_t line, bool write) const
	{
		Front f = cache.front(kind, line, write);
		return {both.at(set_of(kind, line)), f.tag, f.mask};
	}
	bool repeat_is_quiet(char kind, bool read, bool written) const
	{
		return main.repeat_is_quiet(kind, read, written) && cache.repeat_is_quiet(kind, read, written);
	}
	[[gnu::always_inline]] void access(const Op &op, std::uint64_t addr)
	{
		main.access(op, addr);
		cache.access(op, addr);
		note(addr, op.size);
	}
	void add(std::uint32_t place, const Cost &c)
	{
		main.add(place, c);
		cache.add(place, c);
	}
	void accesses(std::uint64_t reads, std::uint64_t writes)
	{
		main.accesses(reads, writes);
		cache.accesses(reads, writes);
	}
	bool same_state(const MainAndCache &o) const
	{
		return main.same_state(o.main) && cache.same_state(o.cache);
	}
	void repeat(const MainAndCache &before, std::uint64_t times)
	{
		main.repeat(before.main, times);
		cache.repeat(before.cache, times);
	}

      private:
	// Per set: the word at the front of the cache's set, as the cache's
	// front() reads it, where main's front is the same line; else 0.  In
	// pages given as they are first touched: a cache of millions of sets
	// touches few of them.
	Tags both;

	// After an access: the fronts of its lines' sets.
	[[gnu::always_inline]] void note(std::uint64_t addr, std::uint32_t size)
	{
		Span s = span(addr, size, line_bits('D'));
		note(s.first);
		if (s.straddles())
			note(s.last);
	}
	[[gnu::always_inline]] void note(std::uint64_t line)
	{
		Front m = main.front('L', line, false), c = cache.front('L', line, false);
		std::uint64_t s = set_of('D', line);
		*both.at(s) = *m.at && *m.at == (*c.at & c.mask) ? *c.at : 0;
		both.fill(s, 1);
	}
};
