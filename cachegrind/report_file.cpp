#include "report_file.h"

#include <algorithm>
#include <regex>

namespace loadgrid::cachegrind {

namespace {

bool blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r') || (c >= '\x1c' && c <= '\x1f'); }

std::vector<std::string> words(const std::string &text)
{
	std::vector<std::string> out;
	for (std::size_t at = 0; at < text.size();) {
		while (at < text.size() && blank(text[at]))
			at++;
		std::size_t end = at;
		while (end < text.size() && !blank(text[end]))
			end++;
		if (end > at)
			out.push_back(text.substr(at, end - at));
		at = end;
	}
	return out;
}

bool starts(const std::string &text, const char *prefix) { return text.rfind(prefix, 0) == 0; }

// At most n characters of UTF-8 text, for a message.
std::string first_characters(const std::string &text, std::size_t n)
{
	std::size_t at = 0;
	for (std::size_t seen = 0; at < text.size(); at++)
		if ((text[at] & 0xc0) != 0x80 && seen++ == n)
			break;
	return text.substr(0, at);
}

// A whole number of decimal digits that fits 64 bits.
bool whole(const std::string &word, std::uint64_t &out)
{
	if (word.empty() || word.size() > 19 || word.find_first_not_of("0123456789") != std::string::npos)
		return false;
	out = std::stoull(word);
	return true;
}

BadReport bad_line(std::size_t n, const std::string &line)
{
	return BadReport("cachegrind: line " + std::to_string(n) + ": '" + first_characters(line, 40) + "'");
}

// A line's counts, the missing ones 0.
Costs counts(const std::vector<std::string> &given, std::size_t from, std::size_t n)
{
	Costs out{};
	if (given.size() - from > EVENT_COUNT)
		throw BadReport("cachegrind: line " + std::to_string(n) + ": not " + std::to_string(EVENT_COUNT) +
				" counts");
	for (std::size_t k = from; k < given.size(); k++)
		if (!whole(given[k], out[k - from]))
			throw BadReport("cachegrind: line " + std::to_string(n) + ": not " +
					std::to_string(EVENT_COUNT) + " counts");
	return out;
}

void add(Costs &to, const Costs &costs)
{
	for (std::size_t k = 0; k < EVENT_COUNT; k++)
		to[k] += costs[k];
}

void check_events(const std::string &rest)
{
	std::vector<std::string> given = words(rest);
	if (!std::equal(given.begin(), given.end(), std::begin(EVENTS), std::end(EVENTS))) {
		std::size_t first = 0, end = rest.size();
		while (first < end && blank(rest[first]))
			first++;
		while (end > first && blank(rest[end - 1]))
			end--;
		throw BadReport("cachegrind: events " + rest.substr(first, end - first) +
				", not the nine of a cache simulation");
	}
}

std::string joined(const Costs &costs)
{
	std::string out;
	for (std::uint64_t c : costs)
		out += (out.empty() ? "" : " ") + std::to_string(c);
	return out;
}

} // namespace

Report read_report(const std::string &text)
{
	Report r;
	bool summed = false;
	std::string fn, fl = "???";
	bool in_function = false;
	std::size_t n = 0, at = 0;
	while (at < text.size()) {
		std::size_t end = std::min(text.find('\n', at), text.size());
		std::string line = text.substr(at, end - at);
		at = end + 1;
		n++;
		std::string key = line.substr(0, line.find(':'));
		std::string rest = key.size() < line.size() ? line.substr(key.size() + 1) : "";
		if (starts(line, "desc: ")) {
			r.desc.push_back(line);
		} else if (key == "events") {
			check_events(rest);
		} else if (key == "summary") {
			r.summary = counts(words(rest), 0, n);
			summed = true;
		} else if (starts(line, "fn=")) {
			fn = line.substr(3);
			in_function = true;
		} else if (starts(line, "fl=")) {
			fl = line.substr(3);
		} else if (!line.empty() && line[0] >= '0' && line[0] <= '9' && in_function) {
			std::vector<std::string> given = words(line);
			std::uint64_t number;
			if (!whole(given[0], number))
				throw bad_line(n, line);
			add(r.places[{fl, fn, number}], counts(given, 1, n));
		} else if (!starts(line, "cmd:") && !line.empty()) {
			throw bad_line(n, line);
		}
	}
	for (const auto &[place, costs] : r.places)
		add(r.functions[std::get<1>(place)], costs);
	if (!summed || r.functions.empty())
		throw BadReport("cachegrind: no summary or no functions");
	return r;
}

std::string desc(const char *level, const Geometry &g)
{
	std::string shape = g.assoc == 1 ? "direct-mapped" : std::to_string(g.assoc) + "-way associative";
	return std::string("desc: ") + level + " cache:         " + std::to_string(g.size) + " B, " +
	       std::to_string(g.line) + " B, " + shape;
}

std::vector<Geometry> descs(const std::vector<std::string> &lines)
{
	if (lines.size() != std::size(LEVELS))
		throw BadReport("cachegrind: " + std::to_string(lines.size()) + " desc lines, want " +
				std::to_string(std::size(LEVELS)));
	std::vector<Geometry> out;
	for (std::size_t k = 0; k < lines.size(); k++) {
		std::regex shape(std::string("desc: ") + LEVELS[k] +
				 " cache: +([0-9]+) B, ([0-9]+) B, (?:([0-9]+)-way associative|(direct-mapped))");
		std::smatch m;
		std::uint64_t size, line, assoc = 1;
		if (!std::regex_match(lines[k], m, shape) || !whole(m[1], size) || !whole(m[2], line) ||
		    (m[3].matched && !whole(m[3], assoc)))
			throw BadReport("cachegrind: '" + lines[k] + "'");
		out.push_back({size, assoc, line});
	}
	return out;
}

Costs summary(const Places &places)
{
	Costs out{};
	for (const auto &entry : places)
		add(out, entry.second);
	return out;
}

std::vector<std::string> cache_options(const std::vector<Geometry> &caches)
{
	std::vector<std::string> out;
	for (std::size_t k = 0; k < caches.size(); k++)
		out.push_back(std::string("--") + LEVELS[k] + "=" + spelled(caches[k]));
	return out;
}

std::string report_text(const std::vector<Geometry> &caches, const std::string &cmd, const Places &places)
{
	std::string out;
	for (std::size_t k = 0; k < caches.size(); k++)
		out += desc(LEVELS[k], caches[k]) + "\n";
	out += "cmd: " + cmd + "\nevents:";
	for (const char *event : EVENTS)
		out += std::string(" ") + event;
	out += " \n";
	const std::string *file = nullptr, *name = nullptr;
	for (const auto &[place, costs] : places) {
		const auto &[fl, fn, line] = place;
		if (!file || fl != *file) {
			file = &fl;
			name = nullptr;
			out += "fl=" + fl + "\n";
		}
		if (!name || fn != *name) {
			name = &fn;
			out += "fn=" + fn + "\n";
		}
		out += std::to_string(line) + " " + joined(costs) + "\n";
	}
	return out + "summary: " + joined(summary(places)) + "\n";
}

} // namespace loadgrid::cachegrind
