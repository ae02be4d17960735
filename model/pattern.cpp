#include "pattern.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

std::uint64_t hex(const std::string &s) { return std::stoull(s, nullptr, 16); }

Segment *segment(Model &m, const std::string &label)
{
	if (label == "head")
		return &m.head;
	if (label == "body")
		return &m.body;
	if (label == "boundary")
		return &m.boundary;
	if (label == "final")
		return &m.final;
	if (label.rfind("call", 0) == 0) {
		m.calls.emplace_back();
		return &m.calls.back();
	}
	throw std::runtime_error("unknown segment " + label);
}

} // namespace

Model load(const std::string &path)
{
	std::ifstream in(path);
	if (!in)
		throw std::runtime_error(path + ": cannot open");
	Model m;
	std::string line, word;
	if (!std::getline(in, line) || line != "loadgrid-model 1")
		throw std::runtime_error(path + ": not a model");
	while (std::getline(in, line)) {
		std::istringstream f(line);
		f >> word;
		if (word == "kernel") {
			f >> m.kernel;
		} else if (word == "reads") {
			while (f >> word)
				m.reads.push_back(hex(word));
		} else if (word == "segment") {
			std::string label;
			std::size_t n;
			f >> label >> n;
			Segment *seg = segment(m, label);
			for (std::size_t k = 0; k < n && std::getline(in, line); k++) {
				std::istringstream r(line);
				std::string kind, addr, flags;
				Rec rec{};
				r >> kind >> addr >> rec.size >> flags;
				rec.kind = kind[0];
				rec.addr = hex(addr);
				for (char c : flags)
					rec.flags |= c == 's' ? STACK
						     : c == 'm' ? MAIN
						     : c == 'a' ? ARRAY
						     : c == 'c' ? CALL
								: 0;
				seg->push_back(rec);
			}
			if (seg->size() != n)
				throw std::runtime_error(path + ": cut short");
		}
	}
	if (m.reads.size() != ARRAYS || m.body.empty() || m.final.empty())
		throw std::runtime_error(path + ": incomplete");
	return m;
}

void drop_fetches(Model &m)
{
	auto drop = [](Segment &seg) {
		seg.erase(std::remove_if(seg.begin(), seg.end(),
					 [](const Rec &r) { return r.kind == 'I'; }),
			  seg.end());
	};
	for (Segment *seg : {&m.head, &m.body, &m.boundary, &m.final})
		drop(*seg);
	for (Segment &seg : m.calls)
		drop(seg);
}

Run::Run(const Model &model, int n, std::uint64_t s)
    : m(model), passes(n), shift(s)
{
	if (m.kernel == "loadgrid2")
		draws = glibc_rand(steps());
	for (std::uint64_t r : m.reads)
		base.push_back(r - shift - ELEM * index(0));
}

long Run::index(long t) const
{
	if (m.kernel == "loadgrid2")
		return draws[t] % 600;
	if (m.kernel == "loadgrid3")
		return 3 * (t % STEPS);
	return t % STEPS;
}

std::vector<std::int32_t> glibc_rand(std::size_t n)
{
	// r[i] = 16807 r[i-1] mod (2^31 - 1) for the first 31 words, then
	// r[i] = r[i-3] + r[i-31] mod 2^32; the first 310 are discarded and
	// each result is a word shifted right by one.
	std::vector<std::uint32_t> r(344 + n);
	r[0] = 1;
	for (int i = 1; i < 31; i++) {
		std::int64_t w = 16807 * std::int64_t(std::int32_t(r[i - 1])) % 2147483647;
		r[i] = std::uint32_t(w < 0 ? w + 2147483647 : w);
	}
	for (int i = 31; i < 34; i++)
		r[i] = r[i - 31];
	for (std::size_t i = 34; i < r.size(); i++)
		r[i] = r[i - 31] + r[i - 3];
	std::vector<std::int32_t> out(n);
	for (std::size_t k = 0; k < n; k++)
		out[k] = std::int32_t(r[k + 344] >> 1);
	return out;
}
