#include "learn.h"

#include <algorithm>
#include <set>
#include <sstream>

#include "kernels.h"
#include "lines.h"
#include "stream.h"
#include "symbols.h"
#include "watch.h"

namespace loadgrid::learn {

using runs::ARRAYS;
using runs::PASSES;
using runs::STEPS;

namespace {

void check(bool ok, const std::string &why)
{
	if (!ok)
		throw Mismatch(why);
}

// What is learned of one run of a kernel.
struct Model {
	std::string path;
	const runs::Kernel *kernel;
	std::uint64_t lo, hi; // main
	std::optional<Stream> a, b;
	Segment head, body, boundary, final;
	Calls calls;
	std::uint64_t counter, test;
};

template <typename Read> auto read_binary(const std::string &path, Read read)
{
	try {
		return read();
	} catch (const binary::Error &e) {
		throw Failure(path + ": " + e.what());
	}
}

void find_main(Model &m)
{
	auto functions = read_binary(m.path, [&] { return binary::functions(m.path); });
	auto main =
	    std::find_if(functions.begin(), functions.end(), [](auto &f) { return f.name == "main"; });
	if (main == functions.end())
		throw Failure(m.path + ": no symbol main");
	m.lo = main->start;
	m.hi = main->end;
}

// Run A: the first passes, up to the first read of the pass after them;
// from it the head, a step within a pass, a pass's last step and the calls
// main makes.
void first_passes(Model &m, const Lackey &lackey)
{
	constexpr std::size_t learned = LEARN_PASSES * STEPS;
	valgrind::Watch watch(m.lo, m.hi);
	auto enough = [&](const Record &rec) {
		watch.see(rec);
		return watch.reads >= learned * ARRAYS + 1;
	};
	Stream &a = m.a.emplace(lackey(enough, std::nullopt), m.lo, m.hi);
	check(a.steps.size() > learned, "the run ended after " + std::to_string(a.steps.size()) + " steps");
	a.steps.resize(learned + 1);
	m.head = a.segment(0, a.steps[0]);
	Calls calls;
	std::optional<Segment> body, boundary;
	for (std::size_t t = 0; t < learned; t++) {
		Segment seg = a.segment(a.steps[t], a.steps[t + 1], &calls);
		std::optional<Segment> &known = (t + 1) % STEPS == 0 ? boundary : body;
		if (!known)
			known = std::move(seg);
		else
			check(seg == *known, "step " + std::to_string(t % STEPS) + " of pass " +
						 std::to_string(t / STEPS) +
						 " differs from the same step of the pass before");
	}
	m.body = *body;
	m.boundary = *boundary;
	m.calls = period(calls);
}

std::set<std::uint64_t> stores(const Segment &seg)
{
	std::set<std::uint64_t> out;
	for (const Entry &e : seg)
		if ((e.kind == 'S' || e.kind == 'M') && e.main)
			out.insert(e.addr);
	return out;
}

// The pass counter: the one place main stores to at the end of a pass and
// never within one; and the prologue's instruction that first tests it.
void pass_counter(Model &m)
{
	std::set<std::uint64_t> counter, within = stores(m.body);
	for (std::uint64_t addr : stores(m.boundary))
		if (!within.count(addr))
			counter.insert(addr);
	check(counter.size() == 1,
	      std::to_string(counter.size()) + " candidates for the pass counter, want one");
	m.counter = *counter.begin();
	const Stream &a = *m.a;
	for (std::size_t n = a.entry; n < a.steps[0]; n++) {
		const Record &rec = a.recs[n];
		if ((rec.kind == 'L' || rec.kind == 'M') && rec.addr == m.counter && a.main[n]) {
			m.test = a.insn[n];
			return;
		}
	}
	throw Mismatch("the prologue never tests the pass counter");
}

// Run B: the pass counter set to the last pass as the loop starts, for the
// last step and the exit path.
void last_pass(Model &m, const Lackey &lackey)
{
	const std::string moved = " the pass counter was set to " + std::to_string(PASSES - 1);
	const std::string not_passes = ": not " + std::to_string(PASSES) + " passes";
	valgrind::Watch watch(m.lo, m.hi);
	auto too_long = [&](const Record &rec) { // not one pass: no need to wait for 1000
		watch.see(rec);
		return watch.reads > std::uint64_t(STEPS) * ARRAYS;
	};
	std::vector<Record> recs = lackey(too_long, Poke{m.test, m.counter, PASSES - 1});
	try {
		m.b.emplace(std::move(recs), m.lo, m.hi);
	} catch (const Mismatch &) {
		throw Mismatch("no whole pass once" + moved + not_passes);
	}
	const Stream &a = *m.a, &b = *m.b;
	check(b.steps.size() == STEPS, std::to_string(b.steps.size()) + " steps after" + moved + ", want " +
					   std::to_string(STEPS) + not_passes);
	check(std::equal(b.recs.begin(), b.recs.begin() + b.steps[0], a.recs.begin(),
			 a.recs.begin() + a.steps[0]),
	      "the run under gdb starts differently");
	Calls ignored;
	m.final = b.segment(b.steps.back(), b.recs.size(), &ignored, true);
}

std::string hex(std::uint64_t n)
{
	std::ostringstream out;
	out << std::hex << n;
	return out.str();
}

// The line of a record, flagged s if it lies in the stack and m if main
// made it.
std::string record_line(const Entry &e, std::uint64_t frame)
{
	bool stack = e.addr < frame ? frame - e.addr <= STACK_SPAN : e.addr - frame < STACK_SPAN;
	std::string flags = std::string(stack ? "s" : "") + (e.main ? "m" : "");
	return std::string(1, e.kind) + " " + hex(e.addr) + " " + std::to_string(e.size) + " " +
	       (flags.empty() ? "-" : flags);
}

void segment(std::ostream &out, const std::string &label, const Segment &entries, std::uint64_t frame)
{
	out << "segment " << label << " " << entries.size() << "\n";
	for (const Entry &e : entries) {
		if (e.kind == 'C')
			out << "C 0 0 c\n";
		else if (e.kind == 'A')
			out << "L " << hex(e.addr) << " " << e.size << " am\n";
		else
			out << record_line(e, frame) << "\n";
	}
}

Segment as_segment(const std::vector<Record> &call)
{
	Segment out;
	for (const Record &r : call)
		out.push_back({r.kind, r.addr, r.size, false});
	return out;
}

// The executable's functions and source lines that the learned records'
// instructions lie in.
void touched(std::ostream &out, const Model &m)
{
	auto functions = read_binary(m.path, [&] { return binary::functions(m.path); });
	auto sources = read_binary(m.path, [&] { return binary::source_lines(m.path); });
	std::set<std::uint64_t> insns;
	for (const Segment *seg : {&m.head, &m.body, &m.boundary, &m.final})
		for (const Entry &e : *seg)
			if (e.kind == 'I')
				insns.insert(e.addr);
	for (const auto &call : m.calls)
		for (const Record &r : call)
			if (r.kind == 'I')
				insns.insert(r.addr);
	for (const auto &f : holding(functions, insns))
		out << "function " << hex(f.start) << " " << hex(f.end) << " " << f.name << "\n";
	for (const auto &s : holding(sources, insns))
		out << "source " << hex(s.start) << " " << hex(s.end) << " " << s.line << " " << s.file
		    << "\n";
}

// The model as the engine reads it (its grammar is in engine/model.cpp).
std::string text(const Model &m)
{
	const Stream &a = *m.a;
	// main's first data record is a push: its frame.  Its array reads
	// come later, so there is one.
	std::uint64_t frame =
	    std::find_if(a.recs.begin() + a.entry, a.recs.end(), [](auto &r) { return r.kind != 'I'; })->addr;
	std::ostringstream out;
	out << FORMAT << "\nkernel " << m.kernel->name << "\narrays " << ARRAYS << "\nlength "
	    << m.kernel->length << "\nsteps " << STEPS << "\npasses " << PASSES << "\nindex "
	    << m.kernel->rule << "\nreads";
	for (std::size_t j = 0; j < ARRAYS; j++)
		out << " " << hex(a.recs[a.reads[j]].addr);
	out << "\ncounter " << hex(m.counter) << " " << hex(m.test) << "\n";
	touched(out, m);
	segment(out, "head", m.head, frame);
	segment(out, "body", m.body, frame);
	segment(out, "boundary", m.boundary, frame);
	segment(out, "final", m.final, frame);
	for (std::size_t k = 0; k < m.calls.size(); k++)
		segment(out, "call" + std::to_string(k), as_segment(m.calls[k]), frame);
	return out.str();
}

} // namespace

Learned learn(const std::string &kernel_path, const std::string &name, const Lackey &lackey,
	      const std::function<void()> &starting)
{
	Model m;
	m.path = kernel_path;
	m.kernel = runs::kernel(name);
	if (!m.kernel)
		throw Failure(kernel_path +
			      ": not a loadgrid kernel: its name is not loadgrid1, loadgrid2 or loadgrid3");
	find_main(m);
	starting();
	first_passes(m, lackey);
	pass_counter(m);
	last_pass(m, lackey);
	return {text(m), m.a->recs, m.b->recs};
}

std::vector<std::vector<Record>> period(const std::vector<std::vector<Record>> &calls)
{
	if (calls.empty())
		return {};
	for (std::size_t p = 1; p <= calls.size() / 2; p++)
		if (std::equal(calls.begin() + p, calls.end(), calls.begin()))
			return {calls.begin(), calls.begin() + p};
	throw Mismatch("the " + std::to_string(calls.size()) + " calls from the loop never repeat");
}

} // namespace loadgrid::learn
