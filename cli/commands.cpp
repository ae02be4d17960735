#include "commands.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <future>
#include <regex>
#include <set>
#include <thread>

#include "cachegrind_runs.h"
#include "files.h"
#include "kernels.h"
#include "model_answers.h"
#include "output.h"
#include "report_file.h"
#include "signals.h"
#include "surface.h"
#include "symbols.h"

namespace loadgrid::cli {

namespace {

namespace fs = std::filesystem;
using cachegrind::EVENT_COUNT;
using cachegrind::EVENTS;

std::string number(std::uint64_t n) { return std::to_string(n); }

// The loadgrid-model run command that starts tool on this run, naming this
// program as it was started, so that it can be pasted as it is.
std::string run_line(const Arguments &a, const std::vector<std::string> &tool)
{
	std::vector<std::string> words{a.invoked, "run", a.kernel};
	if (a.here)
		words.push_back("--here");
	if (shift_bytes(a.stack_shift))
		words.insert(words.end(), {"--stack-shift", a.stack_shift});
	words.push_back("--");
	words.insert(words.end(), tool.begin(), tool.end());
	return shell_line(words);
}

// The three geometries of --I1, --D1 and --LL, each defaulting to what
// cachegrind picks on this machine.
std::vector<Geometry> hierarchy(Answers &answers, const Arguments &a)
{
	std::vector<Geometry> out(3);
	bool all = true;
	for (int k = 0; k < 3; k++) {
		std::string level = cachegrind::LEVELS[k];
		const std::string &text = a.levels.at(level);
		if (text.empty()) {
			all = false;
			continue;
		}
		out[k] = geometry(text, "--" + level);
		taken({out[k]}, answers.narrowest_line(), "--" + level);
	}
	if (!all) {
		std::vector<Geometry> picked = answers.default_caches();
		for (int k = 0; k < 3; k++)
			if (a.levels.at(cachegrind::LEVELS[k]).empty())
				out[k] = picked.at(k);
	}
	return out;
}

// What the figures are called in misses' header, and how each is had from
// the engine's.
std::vector<std::string> figure_head(const Arguments &a, const std::string &write)
{
	std::vector<std::string> head{"reads",
				      "writes",
				      "read_misses",
				      "write_misses",
				      "evictions",
				      "writebacks",
				      write == "back" ? "dirty" : "memory_writes"};
	if (a.kinds)
		head.insert(head.end(), {"compulsory", "capacity", "conflict"});
	return head;
}

std::vector<std::string> figure_cells(const engine::CacheFigures &f, const std::vector<std::string> &head)
{
	auto n = [&](int k) { return std::int64_t(f[k]); };
	std::map<std::string, std::int64_t> named{
	    {"reads", n(READS)},
	    {"writes", n(WRITES)},
	    {"memory_writes", n(WRITES)}, // write-through: every write goes to memory
	    {"read_misses", n(READ_MISSES)},
	    {"write_misses", n(WRITE_MISSES)},
	    {"evictions", n(EVICTIONS)},
	    {"writebacks", n(WRITEBACKS)},
	    {"dirty", n(FIGURES)},
	    {"compulsory", n(COMPULSORY)},
	    {"capacity", n(FULL_MISSES) - n(COMPULSORY)},
	    {"conflict", n(READ_MISSES) + n(WRITE_MISSES) - n(FULL_MISSES)},
	};
	std::vector<std::string> out;
	for (const std::string &h : head)
		out.push_back(std::to_string(named.at(h)));
	return out;
}

// Runs job(k) for each k below n, two at a time.
template <class Job> void on_two_threads(std::size_t n, Job job)
{
	std::vector<std::future<void>> running;
	for (std::size_t k = 0; k < n; k++) {
		if (running.size() == 2) {
			running.front().get();
			running.erase(running.begin());
		}
		running.push_back(std::async(std::launch::async, job, k));
	}
	for (auto &r : running)
		r.get();
}

Row misses_row(const std::string &cache, const Misses &m)
{
	return {cache, number(m.main_reads), number(m.main_writes), number(m.trace_reads),
		number(m.trace_writes)};
}

} // namespace

int trace(Answers &answers, const Arguments &a, const runs::Run &run)
{
	engine::TraceOptions options;
	options.fetches = a.fetches;
	options.low32 = a.low32;
	options.lackey = a.format == "lackey";
	engine::trace(answers.model(run), a.passes, a.shift, options, stdout);
	return 0;
}

int misses(Answers &answers, const Arguments &a, const runs::Run &run)
{
	std::vector<CacheShape> shapes = Answers::shapes(a.geometries);
	const Model &model = answers.model(run);
	std::vector<Row> out;
	if (a.policy.empty() && a.write.empty() && !a.kinds) {
		out.push_back({"cache", "main_read_misses", "main_write_misses", "trace_read_misses",
			       "trace_write_misses"});
		std::vector<Misses> rows = engine::misses_at(model, a.passes, {a.shift}, shapes).at(0);
		for (std::size_t k = 0; k < rows.size(); k++)
			out.push_back(misses_row(a.cache[k], rows[k]));
		table(out);
		return 0;
	}
	std::string policy = a.policy.empty() ? "lru" : a.policy;
	std::string write = a.write.empty() ? "back" : a.write;
	std::vector<Misses> mains; // main's figures
	std::vector<engine::CacheFigures> figures = engine::figures(
	    model, a.passes, a.shift, engine::named_policy(policy, write == "back"), a.kinds, shapes, &mains);
	std::vector<std::string> head = figure_head(a, write);
	Row top{"cache", "main_read_misses", "main_write_misses"};
	top.insert(top.end(), head.begin(), head.end());
	out.push_back(top);
	for (std::size_t k = 0; k < figures.size(); k++) {
		Row r{a.cache[k], number(mains.at(k).main_reads), number(mains.at(k).main_writes)};
		for (const std::string &cell : figure_cells(figures[k], head))
			r.push_back(cell);
		out.push_back(r);
	}
	table(out);
	return 0;
}

int lab(Answers &answers, const Arguments &a, const runs::Run &run)
{
	engine::lab(answers.model(run), a.passes, a.shift, a.s, a.e, a.b, a.verbose, stdout);
	return 0;
}

int surface_command(Answers &answers, const Arguments &a, const runs::Run &run)
{
	std::uint64_t narrowest = answers.narrowest_line();
	if (a.by_line.begin()->first < narrowest)
		throw Usage("--lines " + a.lines + ": lines under " + std::to_string(narrowest) +
			    " bytes, the widest register here");
	const Model &model = answers.model(run); // learnt once, before the threads
	surface::rows(
	    a.by_line,
	    [&](const std::vector<Geometry> &geos) {
		    return engine::misses_at(model, a.passes, {a.shift}, Answers::shapes(geos)).at(0);
	    },
	    say);
	return 0;
}

int predict(Answers &answers, const Arguments &a, const runs::Run &run)
{
	std::vector<Geometry> chosen = hierarchy(answers, a);
	cachegrind::Places places = answers.report(run, chosen, a.passes, a.shift);
	std::string text = cachegrind::report_text(chosen, run.path, places);
	if (a.output.empty()) {
		std::fwrite(text.data(), 1, text.size(), stdout);
		return 0;
	}
	store::write_text(a.output, text);
	return 0;
}

int check(Answers &answers, const Arguments &a, const runs::Run &run)
{
	auto predicted =
	    engine::misses_at(answers.model(run), runs::PASSES, {0}, Answers::shapes(a.geometries)).at(0);
	std::size_t n = a.geometries.size();
	say("measuring " + std::to_string(n) + " cache" + (n > 1 ? "s" : "") + " with cachegrind" +
	    (n > 1 ? ", two at a time" : ""));
	std::vector<valgrind::MainCounts> measured(n);
	on_two_threads(
	    n, [&](std::size_t k) { measured[k] = valgrind::cachegrind(run, a.geometries[k]); });
	std::vector<Row> out{{"cache", "model D1mr", "model D1mw", "cachegrind D1mr", "cachegrind D1mw", ""}};
	std::size_t same = 0;
	for (std::size_t k = 0; k < n; k++) {
		const auto &p = predicted[k];
		const auto &m = measured[k];
		bool equal = p.main_reads == m.d1mr && p.main_writes == m.d1mw;
		same += equal;
		out.push_back({a.cache[k], number(p.main_reads), number(p.main_writes), number(m.d1mr),
			       number(m.d1mw), equal ? "equal" : "DIFFERENT"});
	}
	table(out);
	bool ok = same == n && n > 0;
	std::printf("%zu of %zu caches equal%s\n", same, n,
		    ok ? "" : ("; " + std::to_string(n - same) + " DIFFERENT").c_str());
	std::printf("repeat one by hand:\n");
	for (const Geometry &g : a.geometries)
		std::printf("%s\n", run_line(a, {"valgrind", "--tool=cachegrind", "--cache-sim=yes",
						  "--D1=" + cachegrind::spelled(g)})
					 .c_str());
	return ok ? 0 : 1;
}

int check_report(Answers &answers, const Arguments &a, const runs::Run &run)
{
	std::vector<Geometry> chosen = hierarchy(answers, a);
	cachegrind::Places places = answers.report(run, chosen, runs::PASSES, 0);
	std::vector<std::string> options = cachegrind::cache_options(chosen);
	say("measuring the whole report with cachegrind");
	cachegrind::Report measured =
	    cachegrind::read_report(valgrind::cachegrind_file(&run, options));
	cachegrind::Costs total = cachegrind::summary(places);
	std::vector<Row> rows{{"file", "function", "line", "event", "model", "cachegrind"}};
	std::set<cachegrind::Place> keys;
	for (const auto &[key, costs] : places)
		keys.insert(key);
	for (const auto &[key, costs] : measured.places)
		keys.insert(key);
	for (const cachegrind::Place &key : keys) {
		auto mine = places.find(key), theirs = measured.places.find(key);
		for (std::size_t e = 0; e < EVENT_COUNT; e++) {
			bool has_mine = mine != places.end(), has_theirs = theirs != measured.places.end();
			std::string m = has_mine ? number(mine->second[e]) : "None";
			std::string t = has_theirs ? number(theirs->second[e]) : "None";
			if (m != t)
				rows.push_back({std::get<0>(key), std::get<1>(key), number(std::get<2>(key)),
						EVENTS[e], m, t});
		}
	}
	for (std::size_t e = 0; e < EVENT_COUNT; e++)
		if (total[e] != measured.summary[e])
			rows.push_back(
			    {"summary", "", "", EVENTS[e], number(total[e]), number(measured.summary[e])});
	std::set<std::string> functions;
	for (const auto &[key, costs] : places)
		functions.insert(std::get<1>(key));
	bool ok = rows.size() == 1 && !places.empty();
	if (ok) {
		std::printf("all %zu functions x %zu events, on %zu lines, and the summary agree\n",
			    functions.size(), EVENT_COUNT, places.size());
	} else {
		table(rows);
		std::printf("%zu figures DIFFERENT\n", rows.size() - 1);
	}
	std::vector<std::string> tool{"valgrind", "--tool=cachegrind", "--cache-sim=yes"};
	tool.insert(tool.end(), options.begin(), options.end());
	std::printf("repeat by hand:\n%s\n", run_line(a, tool).c_str());
	return ok ? 0 : 1;
}

int facts(Answers &answers, const Arguments &a, const runs::Run &run)
{
	std::string file = answers.model_file(run);
	const Model &m = answers.model(run);
	std::vector<long> indices = engine::indices(m, a.indices ? a.passes : 1, a.shift);
	if (a.indices) {
		for (long i : indices)
			std::printf("%ld\n", i);
		return 0;
	}
	std::printf("model %s\nbuild %s\nbases", file.c_str(), binary::build(run.kernel).c_str());
	for (std::uint64_t read : m.reads)
		std::printf(" %lx", (unsigned long)(read - std::uint64_t(a.shift) -
						    ELEM * std::uint64_t(indices.at(0))));
	std::array<std::uint64_t, 2> n = engine::accesses(m, a.passes, a.shift);
	std::printf("\naccesses %lu %lu\n", (unsigned long)n[0], (unsigned long)n[1]);
	for (const Function &f : m.functions)
		std::printf("function %lx %lx %s\n", (unsigned long)f.start, (unsigned long)f.end,
			    f.name.c_str());
	for (const Source &s : m.sources)
		std::printf("source %lx %lx %lu %s\n", (unsigned long)s.start, (unsigned long)s.end, s.line,
			    s.file.c_str());
	return 0;
}

} // namespace loadgrid::cli
