#include "cachegrind_runs.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>

#include "child.h"
#include "failure.h"
#include "report_file.h"
#include "valgrind.h"

namespace loadgrid::valgrind {

using runs::Failure;

namespace {

std::string last_line(const std::string &text)
{
	const char *space = " \t\n\r\v\f";
	std::size_t end = text.find_last_not_of(space);
	if (end == std::string::npos)
		return "";
	std::size_t start = text.find_last_of('\n', end);
	start = start == std::string::npos ? text.find_first_not_of(space) : start + 1;
	return text.substr(start, end + 1 - start);
}

std::string words(const std::string &text)
{
	std::istringstream in(text);
	std::string out;
	for (std::string word; in >> word;)
		out += (out.empty() ? "" : " ") + word;
	return out;
}

std::string read_file(const std::string &path, bool &found)
{
	std::ifstream in(path, std::ios::binary);
	found = bool(in);
	std::stringstream text;
	text << in.rdbuf();
	return text.str();
}

} // namespace

MainCounts cachegrind(const runs::Run &run, const cachegrind::Geometry &d1)
{
	cachegrind::Report report;
	try {
		report = cachegrind::read_report(cachegrind_file(&run, {"--D1=" + cachegrind::spelled(d1)}));
	} catch (const cachegrind::BadReport &e) {
		throw Failure(e.what());
	}
	auto main = report.functions.find("main");
	if (main == report.functions.end())
		throw Failure("cachegrind: no counts for main in its output");
	auto event = [&](const std::string &name) {
		auto at = std::find(std::begin(cachegrind::EVENTS), std::end(cachegrind::EVENTS), name);
		return main->second[at - std::begin(cachegrind::EVENTS)];
	};
	return {event("Dr"), event("Dw"), event("D1mr"), event("D1mw")};
}

std::string cachegrind_file(const runs::Run *run, const std::vector<std::string> &options)
{
	runs::Scratch tmp;
	std::optional<runs::Started> started;
	std::string folder = tmp.path(), path = "/bin/true", cwd = tmp.path();
	if (run) {
		started = run->started();
		folder = started->folder, path = started->path, cwd = started->cwd;
	}
	std::string out = tmp.path() + "/cg.out";
	std::vector<std::string> argv{valgrind(), "--tool=cachegrind", "--cache-sim=yes"};
	argv.insert(argv.end(), options.begin(), options.end());
	argv.push_back("--cachegrind-out-file=" + out);
	argv.push_back("--vgdb-prefix=" + folder + "/vgdb-pipe");
	argv.push_back(path);
	Child p(argv, run ? run->entries() : std::vector<std::string>{}, cwd, {Output::Null}, {Output::Pipe});
	std::string err = p.read_all();
	int code = p.wait();
	bool found;
	std::string text = read_file(out, found);
	if (code || !found) {
		std::string last = last_line(err);
		throw Failure("cachegrind: " + (last.empty() ? runs::status(code) : last));
	}
	return text;
}

std::uint64_t narrowest_line(std::uint64_t least)
{
	std::string line = std::to_string(least * 64) + ",1," + std::to_string(least);
	std::vector<std::string> argv{valgrind(),
				      "--tool=cachegrind",
				      "--cache-sim=yes",
				      "--I1=" + line,
				      "--D1=" + line,
				      "--LL=" + line,
				      "--cachegrind-out-file=/dev/null",
				      "--vgdb=no",
				      "/bin/true"};
	Child p(argv, {}, "/", {Output::Null}, {Output::Pipe});
	std::string said = words(p.read_all());
	int code = p.wait();
	std::smatch m;
	static const std::regex widest(R"(larger than the maximum register size \((\d+)\))");
	if (std::regex_search(said, m, widest) && code)
		return std::stoull(m[1]);
	if (code)
		throw Failure("cachegrind: lines of " + std::to_string(least) + " bytes: " +
			      (said.empty()
				   ? runs::status(code)
				   : said.substr(said.size() - std::min<std::size_t>(120, said.size()))));
	return least;
}

} // namespace loadgrid::valgrind
