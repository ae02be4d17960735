// The replacement policies that the figures command takes, by name, and
// the one step from a name to the count compiled for that policy: a new
// policy is its class in replacement.h and a row here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "replacement.h"

// A row: the class, its name, and whether the name takes :SEED.
template <class R> struct NamedReplacement {
	using type = R;
	const char *name;
	bool seeded;
};

inline constexpr auto REPLACEMENTS = std::make_tuple(
	NamedReplacement<LruReplacement>{"lru", false},
	NamedReplacement<FifoReplacement>{"fifo", false},
	NamedReplacement<PlruReplacement>{"plru", false},
	NamedReplacement<RandomReplacement>{"random", true});
inline constexpr std::size_t REPLACEMENT_COUNT = std::tuple_size_v<decltype(REPLACEMENTS)>;

// A name found in the table: its row, and the text after NAME: where the
// row takes a seed (the caller reads it as a number).
struct FoundReplacement {
	std::size_t row;
	const char *seed;
};

namespace policy_table_detail {

template <std::size_t... K> const char *const *names(std::index_sequence<K...>)
{
	static const char *const all[] = {std::get<K>(REPLACEMENTS).name...};
	return all;
}
template <std::size_t... K> const bool *seeded(std::index_sequence<K...>)
{
	static const bool all[] = {std::get<K>(REPLACEMENTS).seeded...};
	return all;
}
inline const char *name(std::size_t k)
{
	return names(std::make_index_sequence<REPLACEMENT_COUNT>{})[k];
}
inline bool takes_seed(std::size_t k)
{
	return seeded(std::make_index_sequence<REPLACEMENT_COUNT>{})[k];
}

template <class Job, std::size_t... K>
void dispatch(std::size_t row, Job &job, std::index_sequence<K...>)
{
	((row == K ? job(std::get<K>(REPLACEMENTS)) : void()), ...);
}

template <class R, class = void> struct HasWayRule : std::false_type {};
template <class R>
struct HasWayRule<R, std::void_t<decltype(R::refused_ways(std::uint64_t()))>> : std::true_type {};

} // namespace policy_table_detail

// The row that text names: a name alone, or NAME:SEED where it takes one.
inline std::optional<FoundReplacement> find_replacement(const std::string &text)
{
	using namespace policy_table_detail;
	for (std::size_t k = 0; k < REPLACEMENT_COUNT; k++) {
		std::size_t n = std::strlen(name(k));
		if (!takes_seed(k) && text == name(k))
			return FoundReplacement{k, nullptr};
		if (takes_seed(k) && text.compare(0, n, name(k)) == 0 && text[n] == ':')
			return FoundReplacement{k, text.c_str() + n + 1};
	}
	return std::nullopt;
}

// What the table takes, as a message says it: "lru, fifo, plru or
// random:SEED".
inline std::string replacement_names()
{
	using namespace policy_table_detail;
	std::string out;
	for (std::size_t k = 0; k < REPLACEMENT_COUNT; k++) {
		if (k)
			out += k + 1 == REPLACEMENT_COUNT ? " or " : ", ";
		out += name(k);
		if (takes_seed(k))
			out += ":SEED";
	}
	return out;
}

// Calls job with row's NamedReplacement, whose ::type is the policy's
// class: the one switch from a name to the code compiled for it.
template <class Job> void with_replacement(std::size_t row, Job job)
{
	policy_table_detail::dispatch(row, job, std::make_index_sequence<REPLACEMENT_COUNT>{});
}

// Why row's policy cannot run on a cache of so many ways, or nullptr.
inline const char *refused_ways(std::size_t row, std::uint64_t ways)
{
	const char *why = nullptr;
	with_replacement(row, [&](auto named) {
		using R = typename decltype(named)::type;
		if constexpr (policy_table_detail::HasWayRule<R>::value)
			why = R::refused_ways(ways);
	});
	return why;
}
