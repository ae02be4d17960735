#include "run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "failure.h"

namespace loadgrid::runs {

namespace {

std::string base_name(const std::string &path) { return path.substr(path.rfind('/') + 1); }

std::string joined(const std::string &folder, const std::string &name)
{
	if (folder.empty() || folder.back() == '/')
		return folder + name;
	return folder + "/" + name;
}

std::string current_folder()
{
	std::string buffer(PATH_MAX, '\0');
	if (!getcwd(&buffer[0], buffer.size()))
		throw Failure(std::string("getcwd: ") + std::strerror(errno));
	return buffer.c_str();
}

std::string real_path(const std::string &path)
{
	char *real = realpath(path.c_str(), nullptr);
	if (!real)
		return path[0] == '/' ? path : joined(current_folder(), path);
	std::string out = real;
	free(real);
	return out;
}

// Code points of bytes read as UTF-8.  Where no character starts, the
// longest start of one that the bytes hold is a fault: each of its bytes
// becomes U+DC80 + byte (surrogate escapes, as file names are decoded), or
// the whole of it one U+FFFD.
std::u32string decoded(const std::string &bytes, bool escape)
{
	std::u32string out;
	std::size_t n = 0;
	while (n < bytes.size()) {
		unsigned char b = bytes[n];
		if (b < 0x80) {
			out += b;
			n++;
			continue;
		}
		int more = b >= 0xc2 && b <= 0xdf   ? 1
			   : b >= 0xe0 && b <= 0xef ? 2
			   : b >= 0xf0 && b <= 0xf4 ? 3
						    : -1;
		unsigned char lo = b == 0xe0 ? 0xa0 : b == 0xf0 ? 0x90 : 0x80;
		unsigned char hi = b == 0xed ? 0x9f : b == 0xf4 ? 0x8f : 0xbf;
		char32_t c = more == 1 ? b & 0x1f : more == 2 ? b & 0x0f : b & 0x07;
		std::size_t end = n + 1;
		for (int k = 0; k < more && end < bytes.size(); k++, end++) {
			unsigned char next = bytes[end];
			if (next < (k ? 0x80 : lo) || next > (k ? 0xbf : hi))
				break;
			c = c << 6 | (next & 0x3f);
		}
		if (more > 0 && end == n + 1 + more) {
			out += c;
		} else if (escape) {
			for (std::size_t k = n; k < end; k++)
				out += char32_t(0xdc00 + (unsigned char)bytes[k]);
		} else {
			out += char32_t(0xfffd);
		}
		n = end;
	}
	return out;
}

std::string utf8(const std::u32string &text)
{
	std::string out;
	for (char32_t c : text) {
		int more = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
		static const unsigned char lead[] = {0, 0xc0, 0xe0, 0xf0};
		out += char(lead[more] | c >> 6 * more);
		for (int k = more - 1; k >= 0; k--)
			out += char(0x80 | (c >> 6 * k & 0x3f));
	}
	return out;
}

std::string hex4(unsigned u)
{
	static const char digits[] = "0123456789abcdef";
	return {'\\', 'u', digits[u >> 12 & 15], digits[u >> 8 & 15], digits[u >> 4 & 15], digits[u & 15]};
}

// A string as JSON with every character outside printable ASCII escaped.
std::string json_string(const std::u32string &text)
{
	std::string out = "\"";
	for (char32_t c : text) {
		switch (c) {
		case '"': out += "\\\""; break;
		case '\\': out += "\\\\"; break;
		case '\n': out += "\\n"; break;
		case '\r': out += "\\r"; break;
		case '\t': out += "\\t"; break;
		case '\b': out += "\\b"; break;
		case '\f': out += "\\f"; break;
		default:
			if (c >= 0x20 && c < 0x7f) {
				out += char(c);
			} else if (c < 0x10000) {
				out += hex4(c);
			} else {
				out += hex4(0xd800 + ((c - 0x10000) >> 10));
				out += hex4(0xdc00 + ((c - 0x10000) & 0x3ff));
			}
		}
	}
	return out + "\"";
}

std::string json_path(const std::string &path) { return json_string(decoded(path, true)); }

std::string json_latin1(const std::string &bytes)
{
	std::u32string text;
	for (unsigned char b : bytes)
		text += b;
	return json_string(text);
}

void copy_file(const std::string &from, const std::string &to)
{
	std::ifstream in(from, std::ios::binary);
	std::ofstream out(to, std::ios::binary);
	out << in.rdbuf();
	if (!in || !out)
		throw Failure(from + ": " + std::strerror(errno));
}

bool runnable(const std::string &path)
{
	struct stat st;
	return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

} // namespace

Run Run::canonical(const std::string &kernel, const Environment &env)
{
	Run run;
	run.kernel = kernel;
	run.name = base_name(kernel);
	run.path = joined(CANONICAL, run.name);
	run.env = env;
	run.cwd = CANONICAL;
	return run;
}

Run Run::from_here(const std::string &kernel, const std::string &typed)
{
	Run run;
	run.kernel = kernel;
	run.name = base_name(kernel);
	run.here = true;
	run.path = typed.empty() ? kernel : typed;
	run.env = received_environment();
	// A shell sets _ to the program it starts: valgrind, when the user
	// starts the run by hand.
	for (auto &[name, value] : run.env)
		if (name == "_") {
			value = which("valgrind");
			if (value.empty())
				value = "valgrind";
		}
	run.cwd = current_folder();
	return run;
}

std::string Run::key() const
{
	std::string env;
	for (const auto &[name, value] : this->env)
		env += (env.empty() ? "[" : ", [") + json_latin1(name) + ", " + json_latin1(value) + "]";
	std::string exe = here ? real_path(kernel) : path;
	return "{\"path\": " + json_path(path) + ", \"exe\": " + json_path(exe) +
	       ", \"cwd\": " + json_path(cwd) + ", \"env\": [" + env + "]}";
}

Started Run::started() const
{
	Started out{std::make_unique<Scratch>(), "", path, cwd};
	out.folder = out.scratch->path();
	if (!here) {
		out.path = joined(out.folder, name);
		out.cwd = out.folder;
		copy_file(kernel, out.path);
		if (chmod(out.path.c_str(), 0755))
			throw Failure(out.path + ": " + std::strerror(errno));
	}
	return out;
}

std::vector<std::string> Run::entries() const
{
	std::vector<std::string> out;
	for (const auto &[name, value] : env)
		out.push_back(name + "=" + value);
	return out;
}

Environment received_environment()
{
	std::ifstream in("/proc/self/environ", std::ios::binary);
	std::stringstream bytes;
	bytes << in.rdbuf();
	if (!in)
		throw Failure(std::string("/proc/self/environ: ") + std::strerror(errno));
	std::string text = bytes.str();
	Environment env;
	std::set<std::string> names;
	for (std::size_t at = 0, end; (end = text.find('\0', at)) != std::string::npos; at = end + 1) {
		std::string entry = text.substr(at, end - at);
		std::size_t eq = entry.find('=');
		std::string name = entry.substr(0, eq);
		if (eq == std::string::npos || eq == 0 || !names.insert(name).second)
			throw Failure("--here: this environment holds '" +
				      utf8(decoded(entry.substr(0, 40), false)) +
				      "', which cannot be passed on exactly");
		env.emplace_back(name, entry.substr(eq + 1));
	}
	return env;
}

std::string which(const std::string &program)
{
	if (program.find('/') != std::string::npos)
		return runnable(program) ? program : "";
	std::string path;
	if (const char *set = getenv("PATH")) {
		path = set;
	} else {
		path.resize(confstr(_CS_PATH, nullptr, 0));
		confstr(_CS_PATH, &path[0], path.size());
		path.resize(path.size() - 1);
	}
	return which(program, path);
}

std::string which(const std::string &program, const std::string &path)
{
	if (program.find('/') != std::string::npos)
		return runnable(program) ? program : "";
	if (path.empty())
		return "";
	std::size_t at = 0;
	while (true) {
		std::size_t end = std::min(path.find(':', at), path.size());
		std::string candidate = joined(path.substr(at, end - at), program);
		if (runnable(candidate))
			return candidate;
		if (end == path.size())
			return "";
		at = end + 1;
	}
}

} // namespace loadgrid::runs
