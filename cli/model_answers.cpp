#include "model_answers.h"

#include <cstdio>

#include "cachegrind_runs.h"
#include "checksum.h"
#include "failure.h"
#include "files.h"
#include "kernel_check.h"
#include "lackey.h"
#include "learn.h"
#include "model.h"
#include "output.h"
#include "sealed.h"
#include "valgrind.h"

namespace loadgrid::cli {

namespace {

std::string shown(const std::optional<Record> &r)
{
	if (!r)
		return "nothing";
	char text[64];
	std::snprintf(text, sizeof text, "%c %lx,%u", r->kind, (unsigned long)r->addr, r->size);
	return text;
}

// The model's records for a run of some passes must be, one for one, the
// records that lackey saw: all of them, if whole, else as many as it saw.
void verify(const std::string &file, int passes, const std::vector<Record> &seen, bool whole)
{
	Model m = load(file);
	if (auto d = engine::first_difference(m, passes, seen, whole))
		throw learn::Mismatch("the model of " + std::to_string(passes) +
				      " passes differs from the run at record " + std::to_string(d->k) +
				      ": " + shown(d->mine) + " where lackey saw " + shown(d->real));
}

} // namespace

Answers::Answers() : store_(say) {}

CacheShape Answers::cache_shape(const Geometry &g)
{
	return {g.size / g.line / g.assoc, unsigned(g.assoc), unsigned(g.line)};
}

std::vector<CacheShape> Answers::shapes(const std::vector<Geometry> &geometries)
{
	std::vector<CacheShape> out;
	for (const Geometry &g : geometries)
		out.push_back(cache_shape(g));
	return out;
}

const std::string &Answers::valgrind_key()
{
	if (valgrind_key_.empty())
		valgrind_key_ = store::checksum(valgrind::identity());
	return valgrind_key_;
}

std::vector<std::string> Answers::fact(const std::string &name,
				       const std::function<std::vector<std::string>()> &find,
				       const std::function<void(const std::vector<std::string> &)> &check)
{
	return store_.fact(name, valgrind_key(), find, check);
}

std::optional<std::string> Answers::version()
{
	if (!version_) {
		if (runs::which("valgrind").empty())
			version_.emplace(std::nullopt);
		else
			version_.emplace(fact("version", valgrind::version, valgrind::one_line).at(0));
	}
	return *version_;
}

std::uint64_t Answers::narrowest_line()
{
	if (runs::which("valgrind").empty())
		return MIN_LINE;
	auto find = [] {
		say("asking cachegrind the narrowest line it takes here");
		return std::vector<std::string>{std::to_string(valgrind::narrowest_line(MIN_LINE))};
	};
	auto check = [](const std::vector<std::string> &lines) {
		bool ok = lines.size() == 1 && !lines[0].empty() && lines[0].size() < 10 &&
			  lines[0].find_first_not_of("0123456789") == std::string::npos &&
			  std::stoull(lines[0]) >= MIN_LINE;
		if (!ok)
			throw runs::Failure("cachegrind: narrowest line " + (lines.empty() ? "" : lines[0]));
	};
	return std::stoull(fact("lines", find, check).at(0));
}

std::vector<Geometry> Answers::default_caches()
{
	auto find = [] {
		say("asking cachegrind which caches it picks here");
		return cachegrind::read_report(valgrind::cachegrind_file(nullptr, {})).desc;
	};
	auto check = [](const std::vector<std::string> &lines) { cachegrind::descs(lines); };
	return cachegrind::descs(fact("caches", find, check));
}

void Answers::learn(const runs::Run &run, const std::vector<std::string> &notes, const std::string &tmp)
{
	std::string where = "canonical run";
	if (run.here)
		where = "as started here";
	else if (!run.env.empty())
		where = "canonical run, its environment padded";
	auto starting = [&] {
		say("learning " + run.name + " (" + where + "): two short Valgrind runs, a few seconds");
	};
	auto lackey = [&](const learn::Stop &stop, const std::optional<valgrind::Poke> &poke) {
		return valgrind::lackey(run, stop, poke);
	};
	try {
		learn::Learned l = learn::learn(run.kernel, run.name, lackey, starting);
		std::string text = l.text;
		for (const std::string &note : notes)
			text += note + "\n";
		store::write_text(tmp, store::sealed(text));
		// The run of one pass, and the first passes of the whole run.
		verify(tmp, 1, l.b, true);
		verify(tmp, learn::LEARN_PASSES + 1, l.a, false);
	} catch (const learn::Mismatch &e) {
		throw runs::Failure(run.kernel + ": does not run as " + run.name + ": " + e.what());
	} catch (const valgrind::EndedBadly &e) {
		throw runs::Failure(run.kernel + ": does not run as " + run.name + ": " + e.what() +
				    ", where a kernel exits with 0");
	}
}

std::string Answers::model_file(const runs::Run &run)
{
	runs::check_kernel(run.kernel);
	std::string binary = store::file_checksum(run.kernel);
	store::ModelRun named{run.name, binary, store::run_key(binary, run.key(), learn::FORMAT)};
	std::optional<store::Valgrind> vg;
	if (std::optional<std::string> v = version())
		vg = store::Valgrind{*v, valgrind_key()};
	return store_.model(
	    named, vg, [&](const std::string &tmp, const store::Lines &notes) { learn(run, notes, tmp); });
}

const Model &Answers::model(const runs::Run &run)
{
	std::string file = model_file(run);
	auto kept = models_.find(file);
	if (kept == models_.end())
		kept = models_.emplace(file, load(file)).first;
	return kept->second;
}

cachegrind::Places Answers::report(const runs::Run &run, const std::vector<Geometry> &levels, int passes,
				   std::int64_t shift)
{
	engine::Levels shapes{cache_shape(levels.at(0)), cache_shape(levels.at(1)), cache_shape(levels.at(2))};
	auto rows = engine::report(model(run), passes, shift, {shapes}).at(0);
	return engine::by_place(rows);
}

} // namespace loadgrid::cli
