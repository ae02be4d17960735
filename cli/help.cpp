#include "help.h"

#include <CLI/CLI.hpp>

#include <cstring>

#include "caches.h"
#include "surface.h"

namespace loadgrid::cli::help {

const char *const DESCRIPTION = "loadgrid-model: a loadgrid kernel's exact data trace and cache misses,\n"
				"from a model of its access pattern.";

const char *const ABOUT = "The answers are for one run, named in full: the canonical run (the kernel\n"
			  "started as a copy /tmp/loadgrid-model.XXXXXXXX/loadgridN from its folder,\n"
			  "with no arguments and an empty environment, under Valgrind), or with\n"
			  "--here the run as started from this shell: the kernel by its path as\n"
			  "typed, with this environment, from this folder.  --stack-shift BYTES\n"
			  "gives them for the same run with main's stack that many bytes lower; the\n"
			  "start-up code still sees the run named.";

namespace {

struct Command {
	const char *name, *usage, *epilog;
	bool rules; // followed by a cache's rules
};

const Command COMMANDS[] = {
    {"trace",
     "usage: loadgrid-model trace [-h] [--here] [--stack-shift BYTES] [--passes N]\n"
     "                            [--fetches] [--low32] [--format {din,lackey}]\n"
     "                            KERNEL",
     "Prints the run's data accesses in order as a din trace: \"0 ADDR\" a read,\n"
     "\"1 ADDR\" a write (hex), a modify being a read then a write; with\n"
     "--fetches also \"2 ADDR\" for each instruction.  With --format lackey, as\n"
     "valgrind --tool=lackey --trace-mem=yes prints them: \" L ADDR,SIZE\",\n"
     "\" S ADDR,SIZE\" and \" M ADDR,SIZE\", and \"I  ADDR,SIZE\" with --fetches.",
     false},
    {"misses",
     "usage: loadgrid-model misses [-h] [--here]\n"
     "                             [--cache SIZE,ASSOC,LINE [SIZE,ASSOC,LINE ...]]\n"
     "                             [--stack-shift BYTES] [--passes N]\n"
     "                             [--policy lru|fifo|plru|random:SEED]\n"
     "                             [--write {back,through}] [--kinds]\n"
     "                             KERNEL",
     "Prints a header line, then a line per cache: the cache as given, the D1\n"
     "read and write misses of main's own accesses as cachegrind counts them,\n"
     "and the read and write misses of the whole din trace (one access per\n"
     "record) in the same cache, LRU, empty at the start.  With --policy,\n"
     "--write or --kinds, the din trace's figures are the reads, writes, read\n"
     "and write misses, evictions and write-backs under that replacement and\n"
     "write policy, then the lines left dirty (write-back) or the writes that\n"
     "went to memory (write-through), then with --kinds the compulsory,\n"
     "capacity and conflict misses (man loadgrid-model defines each).",
     true},
    {"lab",
     "usage: loadgrid-model lab [-h] [--here] [--stack-shift BYTES] [--passes N] -s\n"
     "                          S -E E -b B [-v]\n"
     "                          KERNEL",
     "Prints \"hits:H misses:M evictions:E\" for a cache of 2^S sets of E ways of\n"
     "2^B-byte blocks, over the data records of the run's lackey trace: L and\n"
     "S one access each, M a load then a store, each to the block that holds\n"
     "its address; LRU, allocating on writes, empty at the start; an eviction\n"
     "is a miss that puts out a valid line.  With -v, first each record and\n"
     "how its accesses went: hit, miss or miss eviction.",
     false},
    {"surface",
     "usage: loadgrid-model surface [-h] [--here] [--stack-shift BYTES] [--passes N]\n"
     "                              [--lines LINE,...] [--sets LO-HI] [--ways LO-HI]\n"
     "                              KERNEL",
     "Prints CSV: a header line, then a line per cache, as misses gives it\n"
     "(main's D1 read and write misses as cachegrind counts them, and the din\n"
     "trace's): every line size of --lines, every set count that is a power of\n"
     "two from LO to HI of --sets, and every number of ways from LO to HI of\n"
     "--ways, by line size, then sets, then ways.  Caches that cachegrind\n"
     "refuses (one line in all, or 2 GiB or more) are left out, and a surface\n"
     "has at most {MOST} caches.  Each line size's rows come out as soon as it\n"
     "is done.  Once it has run for a second, it says on stderr how far it has\n"
     "got.",
     false},
    {"predict",
     "usage: loadgrid-model predict [-h] [--here] [--I1 SIZE,ASSOC,LINE]\n"
     "                              [--D1 SIZE,ASSOC,LINE] [--LL SIZE,ASSOC,LINE]\n"
     "                              [--stack-shift BYTES] [--passes N] [-o FILE]\n"
     "                              KERNEL",
     "Writes, without running anything, the file that cachegrind's cache\n"
     "simulation writes for the run with --cachegrind-out-file: the caches'\n"
     "desc lines, cmd, events, one fn= block per function under the names\n"
     "cachegrind gives them (for a kernel built with -g, under the fl= of its\n"
     "source file, a row per source line), and the summary.  Caches not given\n"
     "are the ones cachegrind picks on this machine.  cg_annotate reads it.",
     true},
    {"check",
     "usage: loadgrid-model check [-h] [--here]\n"
     "                            [--cache SIZE,ASSOC,LINE [SIZE,ASSOC,LINE ...]]\n"
     "                            [--I1 SIZE,ASSOC,LINE] [--D1 SIZE,ASSOC,LINE]\n"
     "                            [--LL SIZE,ASSOC,LINE] [--stack-shift BYTES]\n"
     "                            KERNEL",
     "With --cache: runs cachegrind on the same run for each cache and prints\n"
     "the model's D1 misses of main beside cachegrind's, \"equal\" or\n"
     "\"DIFFERENT\" on each line.  Otherwise: predicts cachegrind's whole report\n"
     "for one hierarchy (--I1, --D1, --LL, each defaulting to cachegrind's own\n"
     "choice on this machine), runs cachegrind with it, and prints every\n"
     "function and event that differs, or that all agree.  Then a line saying\n"
     "whether all agree, and the command that repeats the measurement by hand.\n"
     "Status 1 unless every figure was measured and agrees.",
     true},
    {"run", "usage: loadgrid-model run [-h] [--here] [--stack-shift BYTES] KERNEL -- COMMAND [ARGS...]",
     "Starts COMMAND ARGS... with the path of the run's kernel appended, in the\n"
     "run's environment and folder: for example -- valgrind --tool=cachegrind\n"
     "--cache-sim=yes.  What it writes into the canonical run's folder is then\n"
     "moved into this one, so its output files land here; give it input files\n"
     "by absolute path.  Exits with COMMAND's status.",
     false},
    {"shift", "usage: loadgrid-model shift [-h] [--native] KERNEL",
     "Prints how many bytes lower main's stack lies in the run started from\n"
     "this shell than in the canonical run: the --stack-shift that gives this\n"
     "run's main its addresses.  With --native, for the run without Valgrind,\n"
     "from gdb at main's entry (address randomisation off, as with setarch\n"
     "-R); the stack then lies far from Valgrind's, and the shift is given\n"
     "modulo 2 GiB, from -1 GiB to under 1 GiB, which no cache that cachegrind\n"
     "takes can tell from the whole; where the system does not let gdb turn\n"
     "randomisation off, or gdb fails, it fails.",
     false},
    {"facts",
     "usage: loadgrid-model facts [-h] [--here] [--stack-shift BYTES] [--passes N]\n"
     "                            [--indices]\n"
     "                            KERNEL",
     "Prints what the run's model knows, a line each: \"model FILE\", its learned\n"
     "model (learned now if need be); \"build TEXT\", the compilers and C library\n"
     "that the kernel names; \"bases ADDR...\", where element 0 of each array\n"
     "lies (hex); \"accesses READS WRITES\", main's data reads and writes as\n"
     "cachegrind counts them; then \"function START END NAME\" for each function\n"
     "and \"source START END LINE FILE\" for each source line that the run's\n"
     "instructions lie in (hex addresses, as cachegrind names them).  With\n"
     "--indices, only the index of the elements that each step reads, a line\n"
     "a step.",
     false},
};

const char *const PROGRAM_USAGE = "usage: loadgrid-model [-h] [--version] COMMAND ...";

} // namespace

const char *usage(const std::string &name)
{
	if (name.empty())
		return PROGRAM_USAGE;
	for (const Command &c : COMMANDS)
		if (name == c.name)
			return c.usage;
	return nullptr;
}

std::string epilog(const std::string &name)
{
	for (const Command &c : COMMANDS)
		if (name == c.name) {
			std::string text = c.epilog;
			std::size_t most = text.find("{MOST}");
			if (most != std::string::npos)
				text.replace(most, 6, std::to_string(surface::MOST));
			return c.rules ? text + "\n\n" + cachegrind::RULES : text;
		}
	return "";
}

} // namespace loadgrid::cli::help

namespace loadgrid::cli::help {

namespace {

class Formatter : public CLI::Formatter {
      public:
	std::string make_usage(const CLI::App *app, std::string) const override
	{
		return std::string(usage(app->get_parent() ? app->get_name() : "")) + "\n";
	}
	std::string make_help(const CLI::App *app, std::string name, CLI::AppFormatMode mode) const override
	{
		return make_usage(app, name) + make_description(app) + make_positionals(app) +
		       make_groups(app, mode) + make_subcommands(app, mode) + "\n" + make_footer(app);
	}
	std::string make_description(const CLI::App *app) const override
	{
		std::string text = app->get_description();
		if (!app->get_parent())
			text += "\n\n" + std::string(ABOUT);
		return "\n" + text + "\n";
	}
};

} // namespace

std::shared_ptr<CLI::FormatterBase> formatter()
{
	auto f = std::make_shared<Formatter>();
	f->column_width(24);
	return f;
}

} // namespace loadgrid::cli::help
