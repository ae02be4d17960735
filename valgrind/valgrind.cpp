#include "valgrind.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "child.h"
#include "failure.h"
#include "symbols.h"

namespace loadgrid::valgrind {

using runs::Failure;

namespace {

std::string stripped(const std::string &text)
{
	const char *space = " \t\n\r\v\f";
	std::size_t start = text.find_first_not_of(space);
	if (start == std::string::npos)
		return "";
	return text.substr(start, text.find_last_not_of(space) + 1 - start);
}

std::string parent(const std::string &path)
{
	std::size_t slash = path.rfind('/');
	if (slash == std::string::npos)
		return "";
	std::string out = path.substr(0, slash);
	return out.empty() ? "/" : out;
}

bool is_folder(const std::string &path)
{
	struct stat st;
	return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> listed(const std::string &folder)
{
	std::vector<std::string> out;
	if (DIR *d = opendir(folder.c_str())) {
		while (dirent *e = readdir(d))
			if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
				out.push_back(e->d_name);
		closedir(d);
	}
	return out;
}

// Where Valgrind keeps its tools: as VALGRIND_LIB says, else beside its
// launcher's folder; empty if neither is a folder.
std::string tool_folder(const std::string &launcher)
{
	std::string up = parent(parent(launcher));
	const char *set = getenv("VALGRIND_LIB");
	for (std::string d : {std::string(set ? set : ""), up + "/libexec/valgrind", up + "/lib/valgrind"})
		if (!d.empty() && is_folder(d))
			return d;
	return "";
}

std::vector<std::string> processor()
{
	std::ifstream in("/proc/cpuinfo", std::ios::binary);
	std::stringstream whole;
	whole << in.rdbuf();
	std::string text = whole.str();
	text = text.substr(0, text.find("\n\n"));
	std::vector<std::string> out;
	std::istringstream lines(text);
	for (std::string line; std::getline(lines, line);)
		if (line.compare(0, 7, "cpu MHz") != 0)
			out.push_back(line);
	return out;
}

} // namespace

// This process's environment, which version() passes on.
static std::vector<std::string> own_environment()
{
	std::vector<std::string> out;
	for (char **e = environ; *e; e++)
		out.push_back(*e);
	return out;
}

std::string valgrind()
{
	std::string path = runs::which("valgrind");
	if (path.empty())
		throw Failure("valgrind: not found");
	return path;
}

std::vector<std::string> version()
{
	Child child({valgrind(), "--version"}, own_environment(), ".", {Output::Pipe}, {});
	std::string out = stripped(child.read_all());
	int code = child.wait();
	if (code || out.empty())
		throw Failure("valgrind --version: " + runs::status(code));
	std::vector<std::string> lines;
	std::size_t at = 0;
	for (std::size_t end; (end = out.find('\n', at)) != std::string::npos; at = end + 1)
		lines.push_back(out.substr(at, end - at));
	lines.push_back(out.substr(at));
	return lines;
}

void one_line(const std::vector<std::string> &lines)
{
	if (lines.size() != 1 || lines[0].empty())
		throw Failure("valgrind --version: " + std::to_string(lines.size()) + " lines, want 1");
}

std::string identity()
{
	char *real = realpath(valgrind().c_str(), nullptr);
	std::string launcher = real ? real : valgrind();
	free(real);
	std::vector<std::string> files{launcher, launcher + ".bin"};
	std::string lib = tool_folder(launcher);
	std::vector<std::string> tools;
	for (const std::string &name : lib.empty() ? std::vector<std::string>{} : listed(lib))
		if (name.compare(0, 11, "cachegrind-") == 0 || name.compare(0, 9, "memcheck-") == 0)
			tools.push_back(lib + "/" + name);
	std::sort(tools.begin(), tools.end());
	files.insert(files.end(), tools.begin(), tools.end());
	std::string out;
	for (const std::string &f : files) {
		struct stat st;
		if (stat(f.c_str(), &st) == 0)
			out += f + " " + std::to_string(st.st_dev) + " " + std::to_string(st.st_ino) + " " +
			       std::to_string(st.st_size) + " " +
			       std::to_string(std::int64_t(st.st_mtim.tv_sec) * 1000000000 +
					      st.st_mtim.tv_nsec) +
			       "\n";
	}
	for (const std::string &line : processor())
		out += line + "\n";
	struct utsname u;
	uname(&u);
	return out + u.release + " " + u.version + " " + u.machine;
}

std::pair<std::uint64_t, std::uint64_t> symbol(const std::string &path, const std::string &name)
{
	std::vector<binary::Function> table;
	try {
		table = binary::functions(path);
	} catch (const binary::Error &e) {
		throw Failure(path + ": " + e.what());
	}
	for (const binary::Function &f : table)
		if (f.name == name)
			return {f.start, f.end};
	throw Failure(path + ": no symbol " + name);
}

std::string pipe_pid(const std::string &name)
{
	const std::string start = "vgdb-pipe-";
	if (name.compare(0, start.size(), start) != 0)
		return "";
	for (std::size_t at = start.size(); at < name.size() && name[at] != '\n'; at++) {
		std::size_t end = at;
		while (end < name.size() && name[end] >= '0' && name[end] <= '9')
			end++;
		if (end > at && name.compare(end, 4, "-by-") == 0)
			return name.substr(at, end - at);
	}
	return "";
}

Pipes::Pipes(const runs::Environment &env) : folder_("/tmp")
{
	for (const auto &[name, value] : env)
		if (name == "TMPDIR" && !value.empty())
			folder_ = value;
	before_ = mine();
}

std::set<std::string> Pipes::mine() const
{
	std::set<std::string> out;
	for (const std::string &name : listed(folder_))
		if (!pipe_pid(name).empty())
			out.insert(name);
	return out;
}

void Pipes::remove_left()
{
	for (const std::string &name : mine()) {
		if (before_.count(name))
			continue;
		std::string pid = pipe_pid(name);
		pid.erase(0, std::min(pid.find_first_not_of('0'), pid.size() - 1));
		if (access(("/proc/" + pid).c_str(), F_OK) != 0)
			unlink((folder_ + "/" + name).c_str());
	}
}

} // namespace loadgrid::valgrind
