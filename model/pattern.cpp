#include "pattern.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace {

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

// Reads the words of a model's text, line by line.
class Words {
      public:
	explicit Words(const std::string &text) : p(text.c_str()) {}

	bool more() const { return *p != 0; }
	std::string word()
	{
		skip();
		const char *start = p;
		while (*p && *p != ' ' && *p != '\n')
			p++;
		return std::string(start, p);
	}
	std::uint64_t number(int base)
	{
		char *end;
		std::uint64_t n = std::strtoull(p, &end, base);
		if (end == p)
			throw std::runtime_error("a number missing");
		p = end;
		return n;
	}
	bool line_ends()
	{
		skip();
		return *p == '\n' || *p == 0;
	}
	void next_line()
	{
		while (*p && *p++ != '\n')
			;
	}

      private:
	const char *p;
	void skip()
	{
		while (*p == ' ')
			p++;
	}
};

} // namespace

Model load(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	if (!in)
		throw std::runtime_error(path + ": cannot open");
	std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
	if (text.rfind("loadgrid-model 1\n", 0) != 0)
		throw std::runtime_error(path + ": not a model");
	Model m;
	try {
		Words w(text);
		for (w.next_line(); w.more(); w.next_line()) {
			std::string key = w.word();
			if (key == "kernel") {
				m.kernel = w.word();
			} else if (key == "reads") {
				while (!w.line_ends())
					m.reads.push_back(w.number(16));
			} else if (key == "segment") {
				Segment *seg = segment(m, w.word());
				std::uint64_t n = w.number(10);
				for (std::uint64_t k = 0; k < n; k++) {
					w.next_line();
					Rec rec{};
					rec.kind = w.word()[0];
					rec.addr = w.number(16);
					rec.size = std::uint32_t(w.number(10));
					for (char c : w.word())
						rec.flags |= c == 's' ? STACK
							     : c == 'm' ? MAIN
							     : c == 'a' ? ARRAY
							     : c == 'c' ? CALL
									: 0;
					seg->push_back(rec);
				}
			}
		}
	} catch (const std::runtime_error &e) {
		throw std::runtime_error(path + ": " + e.what());
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
