#include "stream.h"

#include <algorithm>
#include <string>

#include "kernels.h"
#include "learn.h"
#include "watch.h"

namespace loadgrid::learn {

using runs::ARRAYS;
using runs::PASSES;
using runs::STEPS;

static void check(bool ok, const std::string &why)
{
	if (!ok)
		throw Mismatch(why);
}

Stream::Stream(std::vector<Record> records, std::uint64_t lo, std::uint64_t hi) : recs(std::move(records))
{
	valgrind::Watch watch(lo, hi);
	for (const Record &rec : recs) {
		watch.see(rec);
		main.push_back(watch.inside);
		insn.push_back(watch.insn);
	}
	auto first = std::find(main.begin(), main.end(), true);
	check(first != main.end(), "main never runs");
	entry = first - main.begin();
	check(watch.moving.size() == ARRAYS, std::to_string(watch.moving.size()) +
						 " instructions read moving addresses, want " +
						 std::to_string(ARRAYS) + " arrays");
	is_read.resize(recs.size());
	for (std::size_t n = 0; n < recs.size(); n++)
		if (recs[n].kind == 'L' && main[n] && watch.moving.count(insn[n])) {
			reads.push_back(n);
			is_read[n] = true;
			array.emplace(insn[n], array.size());
		}
	check(reads.size() >= ARRAYS, "no whole step of array reads");
	for (std::size_t k = 0; k < reads.size(); k += ARRAYS)
		steps.push_back(reads[k]);
	check_order();
}

// Each whole step reads the arrays in the order of their first reads.
void Stream::check_order() const
{
	for (std::size_t s = 0; (s + 1) * ARRAYS <= reads.size(); s++) {
		bool in_order = true;
		std::string got;
		for (std::size_t j = 0; j < ARRAYS; j++) {
			std::uint64_t a = array.at(insn[reads[s * ARRAYS + j]]);
			in_order = in_order && a == j;
			got += (j ? ", " : "") + std::to_string(a);
		}
		check(in_order, "step " + std::to_string(s) + " reads the arrays in the order [" + got + "]");
	}
}

Segment Stream::segment(std::size_t start, std::size_t end, Calls *calls, bool literal_tail) const
{
	Segment out;
	std::size_t n = start;
	while (n < end) {
		if (calls && !main[n]) {
			std::size_t m = n;
			while (m < end && !main[m])
				m++;
			if (m < end || !literal_tail) {
				calls->emplace_back(recs.begin() + n, recs.begin() + m);
				out.push_back({'C', 0, 0, false});
				n = m;
				continue;
			}
			for (; n < end; n++)
				out.push_back({recs[n].kind, recs[n].addr, recs[n].size, false});
			break;
		}
		const Record &rec = recs[n];
		if (is_read[n])
			out.push_back({'A', array.at(insn[n]), rec.size, false});
		else
			out.push_back({rec.kind, rec.addr, rec.size, bool(main[n])});
		n++;
	}
	return out;
}

} // namespace loadgrid::learn
