#include "arguments.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <regex>

#include "answers.h"
#include "help.h"
#include "kernels.h"
#include "policy_table.h"
#include "surface.h"

namespace loadgrid::cli {

namespace {

using cachegrind::LIMIT;
using cachegrind::MAX_SHIFT;

// A whole number of digits, as large as it is up to LIMIT, and no larger.
std::uint64_t capped(const std::string &digits)
{
	std::uint64_t n = 0;
	for (char c : digits)
		n = std::min(n * 10 + std::uint64_t(c - '0'), LIMIT);
	return n;
}

bool matches(const std::string &text, const char *pattern)
{
	return std::regex_match(text, std::regex(pattern));
}

// LO-HI, or one number, as two whole numbers from 1 up.
std::pair<std::uint64_t, std::uint64_t> span_of(const std::string &text, const std::string &option)
{
	std::smatch m;
	if (!std::regex_match(text, m, std::regex("([0-9]+)(?:-([0-9]+))?")))
		throw Usage(option + " " + text + ": want LO-HI, from 1 up, LO not above HI");
	std::uint64_t lo = capped(m[1]), hi = m[2].matched ? capped(m[2]) : lo;
	if (lo < 1 || lo > hi)
		throw Usage(option + " " + text + ": want LO-HI, from 1 up, LO not above HI");
	if (hi >= LIMIT)
		throw Usage(option + " " + text + ": want HI below " + std::to_string(LIMIT));
	return {lo, hi};
}

std::map<std::uint64_t, std::vector<Geometry>> surface_geometries(const Arguments &a)
{
	std::vector<std::uint64_t> lines;
	std::size_t at = 0;
	for (;;) {
		std::size_t comma = a.lines.find(',', at);
		std::string text = a.lines.substr(at, comma - at);
		std::uint64_t n = matches(text, "[0-9]+") ? capped(text) : 0;
		if (!n || (n & (n - 1)) || n < MIN_LINE || n >= LIMIT)
			throw Usage("--lines " + a.lines + ": want powers of two of " +
				    std::to_string(MIN_LINE) +
				    " bytes or more (and as wide as the widest register), commas between");
		lines.push_back(n);
		if (comma == std::string::npos)
			break;
		at = comma + 1;
	}
	auto sets = span_of(a.sets, "--sets");
	auto ways = span_of(a.ways, "--ways");
	std::map<std::uint64_t, std::vector<Geometry>> by_line;
	try {
		by_line = surface::geometries(lines, sets, ways);
	} catch (const surface::TooMany &e) {
		throw Usage(std::string("surface: ") + e.what() + ": narrow the ranges");
	}
	for (const auto &[line, geometries] : by_line)
		if (!geometries.empty())
			return by_line;
	throw Usage("surface: no cache that cachegrind takes in these ranges");
}

int passes(const std::string &text)
{
	if (!matches(text, "[0-9]+") || capped(text) < 1 || capped(text) > runs::PASSES)
		throw Usage("--passes " + text + ": want 1 to " + std::to_string(runs::PASSES));
	return int(capped(text));
}

// The options every command of a kernel's run takes.
struct Parser {
	CLI::App app;
	Arguments &a;
	std::map<std::string, CLI::App *> commands;

	Parser(Arguments &a, const std::string &version) : app(help::DESCRIPTION, PROG), a(a)
	{
		app.formatter(help::formatter());
		app.set_version_flag("--version", std::string(PROG) + " " + version);
		app.require_subcommand(1);
	}

	CLI::App *command(const char *name, const char *summary)
	{
		CLI::App *c = app.add_subcommand(name, summary);
		c->footer(help::epilog(name));
		c->callback([this, name] { a.command = name; });
		commands[name] = c;
		return c;
	}
	void kernel(CLI::App *c)
	{
		c->add_option("KERNEL", a.kernel,
			      runs::spoken() + ": a bare name is the one installed beside loadgrid-model "
					       "(with --here, the one in PATH), else a path")
		    ->type_name("")
		    ->required();
		c->add_flag("--here", a.here, "the run as started from this shell, not the canonical run");
	}
	void moved(CLI::App *c)
	{
		c->add_option("--stack-shift", a.stack_shift,
			      "main's stack this much lower (a multiple of 16, either sign)")
		    ->type_name("BYTES");
	}
	void padded(CLI::App *c)
	{
		c->add_option("--stack-shift", a.stack_shift,
			      "a run really moved this much lower (a multiple of 16, at least 0): "
			      "the canonical one with a variable P in its environment")
		    ->type_name("BYTES");
	}
	void counted(CLI::App *c)
	{
		a.passes_text = std::to_string(runs::PASSES);
		c->add_option("--passes", a.passes_text,
			      "end the loop after pass N (1 to " + std::to_string(runs::PASSES) + ")")
		    ->type_name("N");
	}
	void d1(CLI::App *c)
	{
		c->add_option("--cache", a.cache, "one or more D1 caches")
		    ->type_name("SIZE,ASSOC,LINE")
		    ->expected(1, 1 << 20)
		    ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
	}
	void hierarchy(CLI::App *c)
	{
		const char *what[][2] = {{"I1", "the instruction cache"},
					 {"D1", "the first-level data cache"},
					 {"LL", "the last-level cache"}};
		for (auto &[level, text] : what)
			c->add_option(std::string("--") + level, a.levels[level], text)
			    ->type_name("SIZE,ASSOC,LINE");
	}

	void build()
	{
		CLI::App *t = command("trace", "the run's data accesses, as a din trace");
		kernel(t), moved(t), counted(t);
		t->add_flag("--fetches", a.fetches, "add every instruction fetched");
		t->add_flag("--low32", a.low32, "keep the low 32 bits of each address");
		t->add_option("--format", a.format, "din (the default) or lackey's own text")
		    ->type_name("{din,lackey}")
		    ->check(CLI::IsMember({"din", "lackey"}));

		CLI::App *m = command("misses", "D1 misses of main and of the whole trace");
		kernel(m), d1(m), moved(m), counted(m);
		m->add_option("--policy", a.policy, "the trace's replacement policy")
		    ->type_name("lru|fifo|plru|random:SEED");
		m->add_option("--write", a.write, "write-back (allocating) or write-through (not)")
		    ->type_name("{back,through}")
		    ->check(CLI::IsMember({"back", "through"}));
		m->add_flag("--kinds", a.kinds, "also the compulsory, capacity and conflict misses");

		CLI::App *l = command("lab", "hits, misses and evictions as the cache lab counts them");
		kernel(l), moved(l), counted(l);
		l->add_option("-s", a.s, "2^S sets")->type_name("S")->required();
		l->add_option("-E", a.e, "E ways")->type_name("E")->required();
		l->add_option("-b", a.b, "2^B-byte blocks")->type_name("B")->required();
		l->add_flag("-v", a.verbose, "each record and how its accesses went");

		CLI::App *sf = command("surface", "misses for every cache of some line sizes, sets and ways");
		kernel(sf), moved(sf), counted(sf);
		a.lines = surface::DEFAULT_LINES, a.sets = surface::DEFAULT_SETS,
		a.ways = surface::DEFAULT_WAYS;
		sf->add_option("--lines", a.lines, "line sizes in bytes (default " + a.lines + ")")
		    ->type_name("LINE,...");
		sf->add_option("--sets", a.sets,
			       "set counts, the powers of two from LO to HI (default " + a.sets + ")")
		    ->type_name("LO-HI");
		sf->add_option("--ways", a.ways, "associativities from LO to HI (default " + a.ways + ")")
		    ->type_name("LO-HI");

		CLI::App *p = command("predict", "cachegrind's whole report of the run");
		kernel(p), hierarchy(p), moved(p), counted(p);
		p->add_option("-o", a.output, "write it to FILE, not standard output")->type_name("FILE");

		CLI::App *c = command("check", "the model's answers beside cachegrind's");
		kernel(c), d1(c), hierarchy(c), padded(c);

		CLI::App *r = command("run", "start a tool on the run");
		kernel(r), padded(r);
		r->prefix_command();

		CLI::App *f =
		    command("facts", "what the run's model knows: its file, the arrays, the tables");
		kernel(f), moved(f), counted(f);
		f->add_flag("--indices", a.indices, "the index that each step reads, instead");

		CLI::App *s = command("shift", "the stack shift of the run from this shell");
		s->add_option("KERNEL", a.kernel,
			      runs::spoken() + ": a bare name is the one in PATH, as this shell "
					       "finds it, else a path")
		    ->type_name("")
		    ->required();
		s->add_flag("--native", a.native, "of the run without Valgrind, by gdb");
	}
};

// The tool after "--", which the run command takes whatever it looks like.
std::vector<std::string> split_tool(std::vector<std::string> &args)
{
	std::vector<std::string> tool;
	if (args.empty() || args[0] != "run")
		return tool;
	for (std::size_t k = 1; k < args.size(); k++)
		if (args[k] == "--") {
			tool.assign(args.begin() + k + 1, args.end());
			if (tool.empty())
				throw Usage("run: no COMMAND after --");
			args.resize(k);
			break;
		}
	return tool;
}

// The checks that need no slow step, each option's in the order given.
void check_arguments(Arguments &a)
{
	if (a.kernel.empty())
		throw Usage("KERNEL: an empty name");
	if ((a.command == "run" || a.command == "check") && shift_bytes(a.stack_shift) &&
	    (a.here || shift_bytes(a.stack_shift) < 0))
		throw Usage(a.command + " --stack-shift: a run is moved by padding the canonical run's "
					"environment: not with --here, and not upward");
	if (a.command == "run" || a.command == "shift") {
		a.shift = a.command == "run" ? shift_bytes(a.stack_shift) : 0;
		return;
	}
	a.shift = shift_bytes(a.stack_shift);
	for (const std::string &text : a.cache)
		a.geometries.push_back(geometry(text));
	for (const char *level : cachegrind::LEVELS)
		if (!a.levels[level].empty())
			geometry(a.levels[level], std::string("--") + level);
	if (a.command == "surface")
		a.by_line = surface_geometries(a);
	if (a.command == "misses" && a.cache.empty())
		throw Usage("misses: --cache is wanted");
	if (!a.policy.empty()) {
		std::optional<FoundReplacement> found = find_replacement(a.policy);
		if (!found || (found->seed && !matches(found->seed, "[0-9]{1,18}")))
			throw Usage("--policy " + a.policy + ": want " + replacement_names());
		for (std::size_t k = 0; k < a.geometries.size(); k++)
			if (const char *why = refused_ways(found->row, a.geometries[k].assoc))
				throw Usage("--policy " + a.policy + ": --cache " + a.cache[k] + ": " + why);
	}
	using engine::LAB_LINE_BITS, engine::LAB_MAX_BITS, engine::LAB_MAX_WAYS;
	if (a.command == "lab" &&
	    !(0 <= a.s && a.s <= LAB_MAX_BITS && 1 <= a.e && a.e <= LAB_MAX_WAYS && 0 <= a.b &&
	      a.b <= LAB_MAX_BITS && (std::int64_t(a.e) << a.s) <= (std::int64_t(1) << LAB_LINE_BITS)))
		throw Usage("lab: want -s 0 to " + std::to_string(LAB_MAX_BITS) + ", -E 1 to " +
			    std::to_string(LAB_MAX_WAYS) + ", -b 0 to " + std::to_string(LAB_MAX_BITS) +
			    ", and at most 2^" + std::to_string(LAB_LINE_BITS) + " lines in all");
	if (a.command == "check" && !a.cache.empty())
		for (const char *level : cachegrind::LEVELS)
			if (!a.levels[level].empty())
				throw Usage("check: --cache, or --I1, --D1 and --LL, not both");
	if (a.command != "check")
		a.passes = passes(a.passes_text);
}

// CLI11's words for what it found wrong, as this program says them.
std::string parse_error(const CLI::ParseError &e)
{
	std::string what = e.what();
	if (e.get_name() == "RequiredError" && what == "A subcommand is required")
		return "the following arguments are required: COMMAND";
	return what;
}

} // namespace

Geometry geometry(const std::string &text, const std::string &option)
{
	try {
		return cachegrind::geometry(text);
	} catch (const cachegrind::Refused &e) {
		throw Usage(option + " " + text + ": " + e.what());
	}
}

void taken(const std::vector<Geometry> &geometries, std::uint64_t narrowest, const std::string &option)
{
	try {
		cachegrind::narrow(geometries, narrowest);
	} catch (const cachegrind::Refused &e) {
		throw Usage(option + " " + e.what());
	}
}

std::int64_t shift_bytes(const std::string &text)
{
	if (!matches(text, "-?[0-9]+"))
		throw Usage("--stack-shift " + text + ": not a number of bytes");
	bool negative = text[0] == '-';
	std::int64_t n = std::int64_t(capped(text.substr(negative)));
	n = negative ? -n : n;
	if (n % 16)
		throw Usage("--stack-shift " + text + ": not a multiple of 16");
	if (n < -MAX_SHIFT || n >= MAX_SHIFT)
		throw Usage("--stack-shift " + text + ": want -" + std::to_string(MAX_SHIFT) + " to " +
			    std::to_string(MAX_SHIFT - 16));
	return n;
}

Parsed parse(int argc, char **argv, const std::string &version)
{
	Parsed out;
	Arguments &a = out.args;
	a.invoked = argv[0];
	std::vector<std::string> args(argv + 1, argv + argc);
	a.tool = split_tool(args);
	Parser p(a, version);
	p.build();
	try {
		std::vector<std::string> reversed(args.rbegin(), args.rend());
		p.app.parse(reversed);
	} catch (const CLI::CallForHelp &) {
		CLI::App *named = p.app.get_subcommands().empty() ? &p.app : p.app.get_subcommands()[0];
		std::fputs(named->help().c_str(), stdout);
		out.done = true;
		return out;
	} catch (const CLI::CallForVersion &) {
		std::printf("%s %s\n", PROG, version.c_str());
		out.done = true;
		return out;
	} catch (const CLI::ParseError &e) {
		throw Usage(parse_error(e));
	}
	if (a.command == "run") {
		std::vector<std::string> rest = p.commands["run"]->remaining();
		if (a.tool.empty())
			a.tool = rest;
		else if (!rest.empty())
			throw Usage("unrecognized arguments: " + rest[0]);
		if (a.tool.empty())
			throw Usage("the following arguments are required: COMMAND");
	}
	check_arguments(a);
	return out;
}

std::string usage_for(int argc, char **argv)
{
	for (int k = 1; k < argc; k++)
		if (const char *u = help::usage(argv[k]))
			return u;
	return help::usage("");
}

} // namespace loadgrid::cli
