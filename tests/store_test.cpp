// The sealed store on temporary folders: sealed files whole and damaged,
// atomic writes that fail or are stopped by a signal, the choice of the
// cache folder and of the per-user folder that stands in for it, and the
// facts and models kept there.  Run as root, one group also runs as user
// nobody with a home it cannot write.
#include <algorithm>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "atomic_file.h"
#include "cache_folder.h"
#include "checksum.h"
#include "error.h"
#include "files.h"
#include "sealed.h"
#include "store.h"
#include "temporaries.h"

namespace {

namespace fs = std::filesystem;
using namespace loadgrid::store;

const uid_t NOBODY = 65534;

// A fresh folder, removed with all in it at the end of the test.
class Scratch {
      public:
	Scratch()
	{
		char name[] = "/tmp/store-test.XXXXXX";
		EXPECT_NE(mkdtemp(name), nullptr);
		path = name;
	}
	~Scratch()
	{
		std::error_code ignored;
		fs::remove_all(path, ignored);
	}
	std::string operator/(const std::string &name) const { return path + "/" + name; }
	std::string path;
};

// An environment variable set (or unset, for nullptr) for the test's span.
class Environment {
      public:
	Environment(const char *name, const char *value) : name_(name)
	{
		if (const char *old = std::getenv(name))
			old_ = old;
		value ? setenv(name, value, 1) : unsetenv(name);
	}
	~Environment() { old_ ? setenv(name_, old_->c_str(), 1) : unsetenv(name_); }

      private:
	const char *name_;
	std::optional<std::string> old_;
};

std::string contents(const std::string &path)
{
	std::ifstream file(path, std::ios::binary);
	std::ostringstream text;
	text << file.rdbuf();
	return text.str();
}

void put(const std::string &path, const std::string &text) { std::ofstream(path, std::ios::binary) << text; }

// The names in folder, sorted.
std::vector<std::string> names_in(const std::string &folder)
{
	std::vector<std::string> names;
	for (const auto &entry : fs::directory_iterator(folder))
		names.push_back(entry.path().filename());
	std::sort(names.begin(), names.end());
	return names;
}

// The reason read_sealed gives for path, or "whole".
std::string verdict(const std::string &path, const std::vector<std::string> &notes)
{
	try {
		read_sealed(path, notes);
		return "whole";
	} catch (const Damaged &e) {
		return e.what();
	}
}

const std::vector<std::string> NOTES{"binary 0123456789abcdef0123456789abcdef0123456789",
				     "run fedcba9876543210fedcba9876543210"};

const std::string TEXT = "loadgrid-model 4\nkernel loadgrid1\nreads 1 2 3\n" + as_lines(NOTES);

TEST(Checksums, UnreadableFilesSayWhy)
{
	Scratch scratch;
	try {
		file_checksum(scratch / "missing");
		FAIL();
	} catch (const FileError &e) {
		EXPECT_EQ(std::string(e.what()), scratch / "missing" + ": No such file or directory");
		EXPECT_EQ(e.number(), ENOENT);
	}
	try {
		file_checksum(scratch.path);
		FAIL();
	} catch (const FileError &e) {
		EXPECT_EQ(e.reason(), "Is a directory");
	}
}

TEST(Sealed, RoundTrip)
{
	Scratch scratch;
	write_sealed(scratch / "m", TEXT);
	EXPECT_EQ(contents(scratch / "m"), TEXT + "checksum " + checksum(TEXT) + "\n");
	EXPECT_EQ(read_sealed(scratch / "m", NOTES), TEXT);
	EXPECT_EQ(read_sealed(scratch / "m", {}), TEXT);
	EXPECT_EQ(names_in(scratch.path), std::vector<std::string>{"m"});
	// The empty text too: the checksum line alone.
	write_sealed(scratch / "empty", "");
	EXPECT_EQ(read_sealed(scratch / "empty", {}), "");
}

TEST(Sealed, EachDamageSaysWhat)
{
	Scratch scratch;
	std::string whole = sealed(TEXT);
	std::mt19937 rng(11);
	const std::string bad_sum = "its checksum does not match";
	for (int k = 0; k < 200; ++k) {
		std::size_t cut = rng() % whole.size();
		put(scratch / "cut", whole.substr(0, cut));
		EXPECT_EQ(verdict(scratch / "cut", NOTES), bad_sum) << cut;
		std::string changed = whole;
		std::size_t at = rng() % whole.size();
		changed[at] = static_cast<char>(changed[at] == 'a' ? 'b' : 'a');
		put(scratch / "changed", changed);
		EXPECT_EQ(verdict(scratch / "changed", NOTES), bad_sum) << at;
	}
	for (std::string bytes : {"\xff", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe2\x82"}) {
		put(scratch / "binary", "kernel " + bytes + "\n" + sealed(TEXT));
		EXPECT_EQ(verdict(scratch / "binary", NOTES), "not text");
	}
	put(scratch / "utf8", sealed("kernel é €  𝄞\n" + TEXT));
	EXPECT_EQ(verdict(scratch / "utf8", NOTES), "whole");
	put(scratch / "empty", "");
	EXPECT_EQ(verdict(scratch / "empty", {}), bad_sum);
}

TEST(Sealed, NotesAreLookedForInTheLastLinesOnly)
{
	Scratch scratch;
	std::string note = "valgrind valgrind-3.19.0 " + std::string(64, 'c') + "é";
	// Two notes: their lines, less the first line of the file, are the
	// last six; the seventh line up does not count.
	std::vector<std::string> notes{NOTES[0], note};
	put(scratch / "m", sealed(as_lines({"first", note, "a", "b", "c", "d", "e", NOTES[0]})));
	EXPECT_EQ(verdict(scratch / "m", notes),
		  "it is not for this run (no 'valgrind valgrind-3.19.0 ccccccccccccccc')");
	put(scratch / "m", sealed(as_lines({"first", note, "b", "c", "d", "e", NOTES[0]})));
	EXPECT_EQ(verdict(scratch / "m", notes), "whole");
	put(scratch / "m", sealed(as_lines({note, NOTES[0]})));
	EXPECT_EQ(verdict(scratch / "m", notes),
		  "it is not for this run (no 'valgrind valgrind-3.19.0 ccccccccccccccc')");
	// A note's first 40 characters, not bytes.
	std::string wide = "run ", quoted = "run ";
	for (int k = 0; k < 20; ++k)
		wide += "éxx";
	for (int k = 0; k < 12; ++k)
		quoted += "éxx";
	put(scratch / "m", sealed(as_lines({"first", NOTES[0]})));
	EXPECT_EQ(verdict(scratch / "m", {wide}), "it is not for this run (no '" + quoted + "')");
}

TEST(Sealed, UnreadableFilesAreNotDamaged)
{
	Scratch scratch;
	EXPECT_THROW(read_sealed(scratch / "missing", {}), FileError);
	try {
		read_sealed(scratch.path, {});
		FAIL();
	} catch (const FileError &e) {
		EXPECT_EQ(e.reason(), "Is a directory");
	}
}

TEST(AtomicWrite, ReplacesOnlyWhenMade)
{
	Scratch scratch;
	std::string path = scratch / "model";
	put(path, "old\n");
	write_atomically(path, [&](const std::string &temporary) {
		EXPECT_EQ(temporary.rfind(scratch.path + "/.", 0), 0u) << temporary;
		EXPECT_EQ(temporary.substr(temporary.size() - 5), ".part");
		struct stat status;
		ASSERT_EQ(stat(temporary.c_str(), &status), 0);
		EXPECT_EQ(status.st_mode & 0777, 0600u);
		write_text(temporary, "new\n");
		EXPECT_EQ(contents(path), "old\n");
	});
	EXPECT_EQ(contents(path), "new\n");
	EXPECT_EQ(names_in(scratch.path), std::vector<std::string>{"model"});
}

TEST(AtomicWrite, LeavesNothingWhenMakeFails)
{
	Scratch scratch;
	std::string path = scratch / "model";
	put(path, "old\n");
	EXPECT_THROW(write_atomically(path,
				      [&](const std::string &temporary) {
					      write_text(temporary, "half");
					      throw std::runtime_error("learning failed");
				      }),
		     std::runtime_error);
	EXPECT_EQ(contents(path), "old\n");
	// The rename itself fails: a folder with a file in it is in the way.
	fs::create_directory(scratch / "folder");
	put(scratch / "folder/inside", "");
	EXPECT_THROW(write_atomically(scratch / "folder",
				      [](const std::string &temporary) { write_text(temporary, "x"); }),
		     FileError);
	EXPECT_EQ(names_in(scratch.path), (std::vector<std::string>{"folder", "model"}));
	try {
		write_atomically(scratch / "missing/model", [](const std::string &) {});
		FAIL();
	} catch (const FileError &e) {
		EXPECT_EQ(std::string(e.what()), scratch / "missing: No such file or directory");
	}
}

void remove_and_end(int signal_number)
{
	remove_temporaries();
	_exit(128 + signal_number);
}

// Runs body in a child whose SIGTERM handler removes the temporaries; its
// exit status.
template <typename Body> int in_child(Body body)
{
	pid_t child = fork();
	if (child == 0) {
		signal(SIGTERM, remove_and_end);
		body();
		_exit(0);
	}
	int status = 0;
	waitpid(child, &status, 0);
	return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(AtomicWrite, ASignalLeavesNothing)
{
	Scratch scratch;
	int status = in_child([&] {
		write_atomically(scratch / "model", [](const std::string &temporary) {
			write_text(temporary, "half");
			raise(SIGTERM);
		});
	});
	EXPECT_EQ(status, 128 + SIGTERM);
	EXPECT_EQ(names_in(scratch.path), std::vector<std::string>{});
}

TEST(AtomicWrite, ATemporaryFolderGoesWithItsFiles)
{
	std::string kept;
	{
		TemporaryFolder folder;
		kept = folder.path();
		EXPECT_EQ(kept.rfind("/tmp/loadgrid-model.", 0), 0u);
		put(folder.path() + "/a.model", "a");
		fs::create_directory(folder.path() + "/empty");
	}
	EXPECT_FALSE(fs::exists(kept));
	Scratch scratch;
	int status = in_child([&] {
		TemporaryFolder folder;
		put(scratch / "name", folder.path());
		for (int k = 0; k < 300; ++k)
			put(folder.path() + "/" + std::to_string(k) + ".model", "a");
		raise(SIGTERM);
	});
	EXPECT_EQ(status, 128 + SIGTERM);
	kept = contents(scratch / "name");
	EXPECT_FALSE(kept.empty());
	EXPECT_FALSE(fs::exists(kept));
}

TEST(Folders, FromTheEnvironment)
{
	Environment cache("LOADGRID_MODEL_CACHE", nullptr), xdg("XDG_CACHE_HOME", nullptr);
	{
		Environment home("HOME", "/home/u//");
		EXPECT_EQ(cache_dir(), "/home/u/.cache/loadgrid-model");
	}
	{
		Environment home("HOME", "");
		EXPECT_EQ(cache_dir(), "/.cache/loadgrid-model");
	}
	{
		Environment home("HOME", nullptr);
		EXPECT_EQ(cache_dir(), std::string(getpwuid(getuid())->pw_dir) + "/.cache/loadgrid-model");
		Environment set("XDG_CACHE_HOME", "/x/");
		EXPECT_EQ(cache_dir(), "/x/loadgrid-model");
		Environment empty("XDG_CACHE_HOME", "");
		EXPECT_EQ(cache_dir(), std::string(getpwuid(getuid())->pw_dir) + "/.cache/loadgrid-model");
	}
	Environment xdg_set("XDG_CACHE_HOME", "/x");
	EXPECT_EQ(cache_dir(), "/x/loadgrid-model");
	Environment empty("LOADGRID_MODEL_CACHE", "");
	EXPECT_EQ(cache_dir(), "/x/loadgrid-model");
	Environment set("LOADGRID_MODEL_CACHE", "models/");
	EXPECT_EQ(cache_dir(), "models/");
}

TEST(Folders, WritableOnesAreMadeWithTheirParents)
{
	Scratch scratch;
	EXPECT_EQ(why_not_writable(scratch / "a/b/c"), "");
	EXPECT_TRUE(fs::is_directory(scratch / "a/b/c"));
	EXPECT_EQ(names_in(scratch / "a/b/c"), std::vector<std::string>{});
	EXPECT_EQ(why_not_writable(scratch / "a/b/c/"), "");
	put(scratch / "file", "");
	EXPECT_EQ(why_not_writable(scratch / "file"), "not a folder");
	EXPECT_EQ(why_not_writable(scratch / "file/models"), "not a folder");
}

TEST(Folders, ThePerUserFolderIsMadePrivate)
{
	Scratch scratch;
	mode_t old = umask(022);
	make_private_folder(scratch / "mine");
	umask(0177);
	make_private_folder(scratch / "mine2");
	umask(old);
	for (const char *name : {"mine", "mine2"}) {
		struct stat status;
		ASSERT_EQ(lstat((scratch / name).c_str(), &status), 0);
		EXPECT_EQ(status.st_mode & 07777, 0700u) << name;
		EXPECT_EQ(status.st_uid, geteuid());
	}
	make_private_folder(scratch / "mine");
	EXPECT_EQ(names_in(scratch / "mine"), std::vector<std::string>{});
}

// What make_private_folder says of folder, or "" where it takes it.
std::string refusal(const std::string &folder)
{
	try {
		make_private_folder(folder);
		return "";
	} catch (const Error &e) {
		return e.what();
	}
}

TEST(Folders, ThePerUserFolderIsRefusedUnlessPrivate)
{
	Scratch scratch;
	std::string folder = scratch / "f";
	fs::create_directory(folder);
	chmod(folder.c_str(), 0755);
	EXPECT_EQ(refusal(folder), folder + ": its mode is 0755, not 0700");
	chmod(folder.c_str(), 01700);
	EXPECT_EQ(refusal(folder), folder + ": its mode is 1700, not 0700");
	chmod(folder.c_str(), 0700);
	EXPECT_EQ(refusal(folder), "");
	fs::create_directory_symlink(folder, scratch / "link");
	EXPECT_EQ(refusal(scratch / "link"), scratch / "link: a symbolic link, not a folder");
	put(scratch / "file", "");
	EXPECT_EQ(refusal(scratch / "file"), scratch / "file: not a folder");
	EXPECT_EQ(refusal(scratch / "missing/f"), scratch / "missing/f: No such file or directory");
	if (geteuid() != 0)
		GTEST_SKIP() << "only root can give a folder to another user";
	ASSERT_EQ(chown(folder.c_str(), NOBODY, NOBODY), 0);
	EXPECT_EQ(refusal(folder), folder + ": owned by another user");
}

// A learning that writes a sealed model and counts its calls.
struct Learning {
	int calls = 0;
	std::string text = "loadgrid-model 4\nkernel loadgrid1\n";
	void operator()(const std::string &temporary, const Lines &notes)
	{
		++calls;
		write_text(temporary, sealed(text + as_lines(notes)));
	}
};

const ModelRun RUN{"loadgrid1", std::string(64, 'b'), checksum("run")};
const Valgrind VALGRIND{"valgrind-3.19.0", checksum("valgrind")};
const Valgrind OTHER{"valgrind-3.22.0", checksum("other valgrind")};

// A store over scratch's "cache", with the per-user folder "per-user",
// that records what it says.
struct Stored {
	explicit Stored(const Scratch &scratch)
	    : cache("LOADGRID_MODEL_CACHE", (scratch / "cache").c_str()),
	      store([this](const std::string &line) { said.push_back(line); }, scratch / "per-user")
	{
	}
	Environment cache;
	std::vector<std::string> said;
	Store store;
};

TEST(Facts, FoundThenKept)
{
	Scratch scratch;
	int finds = 0;
	auto find = [&] {
		++finds;
		return Lines{"valgrind-3.19.0", ""};
	};
	auto accept = [](const Lines &) {};
	std::string file = scratch / "cache/valgrind-" + VALGRIND.key.substr(0, 16) + ".version";
	{
		Stored s(scratch);
		EXPECT_EQ(s.store.fact("version", VALGRIND.key, find, accept),
			  (Lines{"valgrind-3.19.0", ""}));
		EXPECT_EQ(s.store.fact("version", VALGRIND.key, find, accept),
			  (Lines{"valgrind-3.19.0", ""}));
		EXPECT_EQ(finds, 1);
		EXPECT_EQ(read_sealed(file, {}), "valgrind-3.19.0\n\nidentity " + VALGRIND.key + "\n");
	}
	{
		Stored s(scratch);
		EXPECT_EQ(s.store.fact("version", VALGRIND.key, find, accept),
			  (Lines{"valgrind-3.19.0", ""}));
		EXPECT_EQ(finds, 1);
		EXPECT_TRUE(s.said.empty());
	}
}

TEST(Facts, FoundAgainWhenDamagedNotForThemOrRefused)
{
	Scratch scratch;
	std::string file = scratch / "cache/valgrind-" + VALGRIND.key.substr(0, 16) + ".lines";
	int finds = 0;
	auto find = [&] {
		++finds;
		return Lines{"64"};
	};
	auto accept = [](const Lines &) {};
	auto fact = [&](const std::function<void(const Lines &)> &check) {
		Stored s(scratch);
		return s.store.fact("lines", VALGRIND.key, find, check);
	};
	fact(accept);
	std::string whole = contents(file);
	put(file, whole.substr(0, whole.size() - 2));
	EXPECT_EQ(fact(accept), Lines{"64"});
	EXPECT_EQ(finds, 2);
	EXPECT_EQ(contents(file), whole);
	// The same first 16 digits, another Valgrind; and the identity not last.
	std::string other = VALGRIND.key.substr(0, 16) + std::string(16, '0');
	put(file, sealed("32\nidentity " + other + "\n"));
	EXPECT_EQ(fact(accept), Lines{"64"});
	put(file, sealed("32\nidentity " + VALGRIND.key + "\nmore\n"));
	EXPECT_EQ(fact(accept), Lines{"64"});
	EXPECT_EQ(finds, 4);
	auto refuse_32 = [](const Lines &lines) {
		if (lines == Lines{"32"})
			throw Error("cachegrind: narrowest line [32]");
	};
	put(file, sealed("32\nidentity " + VALGRIND.key + "\n"));
	EXPECT_EQ(fact(refuse_32), Lines{"64"});
	EXPECT_EQ(finds, 5);
	EXPECT_EQ(contents(file), whole);
	// What is found must be accepted too.
	auto refuse_all = [](const Lines &) { throw Error("cachegrind: narrowest line"); };
	EXPECT_THROW(fact(refuse_all), Error);
}

TEST(Facts, KeptNowhereWithoutAWritableFolder)
{
	Scratch scratch;
	put(scratch / "file", "");
	put(scratch / "per-user", "");
	Environment cache("LOADGRID_MODEL_CACHE", (scratch / "file/cache").c_str());
	Store store([](const std::string &line) { ADD_FAILURE() << line; }, scratch / "per-user");
	int finds = 0;
	auto find = [&] {
		++finds;
		return Lines{"64"};
	};
	EXPECT_EQ(store.fact("lines", VALGRIND.key, find, [](const Lines &) {}), Lines{"64"});
	EXPECT_EQ(finds, 1);
	EXPECT_EQ(names_in(scratch.path), (std::vector<std::string>{"file", "per-user"}));
}

std::string model_name(const Valgrind &valgrind)
{
	return RUN.name + "-" + RUN.key.substr(0, 16) + "-" + valgrind.key.substr(0, 8) + ".model";
}

TEST(Models, LearnedWhenMissingKeptWhenWhole)
{
	Scratch scratch;
	Learning learning;
	auto learn = std::ref(learning);
	std::string file = scratch / "cache/" + model_name(VALGRIND);
	{
		Stored s(scratch);
		EXPECT_EQ(s.store.model(RUN, VALGRIND, learn), file);
		EXPECT_EQ(learning.calls, 1);
		EXPECT_EQ(read_sealed(file, {}), learning.text + "binary " + RUN.binary + "\nrun " + RUN.key +
						     "\nvalgrind " + VALGRIND.version + " " + VALGRIND.key +
						     "\n");
		EXPECT_EQ(s.store.model(RUN, VALGRIND, learn), file);
		EXPECT_EQ(learning.calls, 1);
		EXPECT_TRUE(s.said.empty());
	}
	// Another Valgrind learns its own; without one, the newest answers.
	const Valgrind &other = OTHER;
	std::string others = scratch / "cache/" + model_name(other);
	{
		Stored s(scratch);
		EXPECT_EQ(s.store.model(RUN, other, learn), others);
		EXPECT_EQ(learning.calls, 2);
		EXPECT_EQ(s.store.model(RUN, std::nullopt, learn), others);
		struct timespec times[2] = {{0, UTIME_OMIT}, {time(nullptr) + 10, 0}};
		utimensat(AT_FDCWD, file.c_str(), times, 0);
		EXPECT_EQ(s.store.model(RUN, std::nullopt, learn), file);
		EXPECT_EQ(learning.calls, 2);
	}
	EXPECT_EQ(names_in(scratch / "cache"),
		  (std::vector<std::string>{model_name(VALGRIND), model_name(other)}));
}

TEST(Models, LearnedAgainWhenDamaged)
{
	Scratch scratch;
	Learning learning;
	std::string file = scratch / "cache/" + model_name(VALGRIND);
	Stored s(scratch);
	s.store.model(RUN, VALGRIND, std::ref(learning));
	std::string whole = contents(file);
	put(file, "x" + whole);
	EXPECT_EQ(s.store.model(RUN, VALGRIND, std::ref(learning)), file);
	EXPECT_EQ(learning.calls, 2);
	EXPECT_EQ(contents(file), whole);
	// Learned for another run of the same first 16 digits.
	put(file, sealed(learning.text + "binary " + RUN.binary + "\nrun other\nvalgrind " +
			 VALGRIND.version + " " + VALGRIND.key + "\n"));
	EXPECT_EQ(s.store.model(RUN, VALGRIND, std::ref(learning)), file);
	EXPECT_EQ(learning.calls, 3);
	fs::remove(file);
	fs::create_directory(file);
	EXPECT_THROW(s.store.model(RUN, VALGRIND, std::ref(learning)), FileError);
	EXPECT_EQ(s.said, (std::vector<std::string>{
			      file + ": damaged: its checksum does not match; learning it again",
			      file + ": damaged: it is not for this run (no 'run " + RUN.key +
				  "'); learning it again",
			      file + ": damaged: Is a directory; learning it again",
			  }));
	EXPECT_EQ(names_in(scratch / "cache"), std::vector<std::string>{model_name(VALGRIND)});
}

TEST(Models, WithoutValgrindOnlyKeptOnesAnswer)
{
	Scratch scratch;
	Learning learning;
	Stored s(scratch);
	try {
		s.store.model(RUN, std::nullopt, std::ref(learning));
		FAIL();
	} catch (const Error &e) {
		EXPECT_EQ(std::string(e.what()),
			  "valgrind: not found; trace and misses still answer for runs "
			  "learned before (in " +
			      scratch / "cache), check never");
	}
	std::string file = s.store.model(RUN, VALGRIND, std::ref(learning));
	put(file, contents(file) + "\n");
	try {
		s.store.model(RUN, std::nullopt, std::ref(learning));
		FAIL();
	} catch (const Error &e) {
		EXPECT_EQ(std::string(e.what()),
			  file + ": damaged: its checksum does not match; valgrind: not found, "
				 "so it cannot be learned again");
	}
	EXPECT_EQ(learning.calls, 1);
}

TEST(Models, AFailedLearningLeavesNothing)
{
	Scratch scratch;
	Stored s(scratch);
	auto fail = [](const std::string &temporary, const Lines &) {
		write_text(temporary, "half");
		throw Error("loadgrid1: does not run as loadgrid1");
	};
	EXPECT_THROW(s.store.model(RUN, VALGRIND, fail), Error);
	EXPECT_EQ(names_in(scratch / "cache"), std::vector<std::string>{});
}

TEST(Models, KeptPerUserWhereTheCacheCannotBeWritten)
{
	Scratch scratch;
	put(scratch / "file", "");
	Environment cache("LOADGRID_MODEL_CACHE", (scratch / "file/cache").c_str());
	Learning learning;
	std::vector<std::string> said;
	auto say = [&](const std::string &line) { said.push_back(line); };
	std::string file = scratch / "per-user/" + model_name(VALGRIND);
	{
		Store store(say, scratch / "per-user");
		EXPECT_EQ(store.model(RUN, VALGRIND, std::ref(learning)), file);
		EXPECT_EQ(store.temporary_folder(), std::nullopt);
	}
	Store store(say, scratch / "per-user");
	EXPECT_EQ(store.model(RUN, VALGRIND, std::ref(learning)), file);
	EXPECT_EQ(store.model(RUN, std::nullopt, std::ref(learning)), file);
	EXPECT_EQ(learning.calls, 1);
	EXPECT_TRUE(said.empty());
}

TEST(Models, KeptForThisRunOnlyWhereNoFolderWillDo)
{
	Scratch scratch;
	put(scratch / "file", "");
	fs::create_directory(scratch / "per-user");
	chmod((scratch / "per-user").c_str(), 0755);
	Environment cache("LOADGRID_MODEL_CACHE", (scratch / "file/cache").c_str());
	Learning learning;
	std::vector<std::string> said;
	std::string folder;
	{
		Store store([&](const std::string &line) { said.push_back(line); }, scratch / "per-user");
		std::string file = store.model(RUN, VALGRIND, std::ref(learning));
		ASSERT_TRUE(store.temporary_folder());
		folder = *store.temporary_folder();
		EXPECT_EQ(file, folder + "/" + model_name(VALGRIND));
		EXPECT_EQ(store.model(RUN, VALGRIND, std::ref(learning)), file);
		EXPECT_EQ(store.model(RUN, std::nullopt, std::ref(learning)), file);
		EXPECT_EQ(learning.calls, 1);
	}
	EXPECT_FALSE(fs::exists(folder));
	EXPECT_EQ(said,
		  std::vector<std::string>{scratch / "per-user: its mode is 0755, not 0700; keeping the "
						     "model in a temporary folder for this run only"});
	EXPECT_EQ(names_in(scratch / "per-user"), std::vector<std::string>{});
}

// The per-user folder of the AsNobody children, in PARENT.
std::string nobody_s_folder() { return std::string(std::getenv("PARENT")) + "/loadgrid-model-65534"; }

void refuse_to_say(const std::string &line) { ADD_FAILURE() << line; }

// Run by AsNobody.HomeUnwritable as user nobody, with HOME=/nonexistent.
TEST(AsNobody, DISABLED_HomeUnwritable)
{
	ASSERT_EQ(geteuid(), NOBODY);
	ASSERT_EQ(cache_dir(), "/nonexistent/.cache/loadgrid-model");
	Learning learning;
	for (int run = 0; run < 2; ++run) {
		Store store(refuse_to_say, nobody_s_folder());
		EXPECT_EQ(store.model(RUN, VALGRIND, std::ref(learning)),
			  nobody_s_folder() + "/" + model_name(VALGRIND));
		store.fact(
		    "version", VALGRIND.key, [] { return Lines{"valgrind-3.19.0"}; }, [](const Lines &) {});
	}
	EXPECT_EQ(learning.calls, 1);
}

// Run by AsNobody.ReadOnlyCacheAnswers, the cache folder root's.
TEST(AsNobody, DISABLED_ReadOnlyCache)
{
	ASSERT_EQ(geteuid(), NOBODY);
	Learning learning;
	std::string kept = cache_dir() + "/" + model_name(VALGRIND);
	{
		Store store(refuse_to_say, nobody_s_folder());
		EXPECT_EQ(store.model(RUN, VALGRIND, std::ref(learning)), kept);
		EXPECT_EQ(store.model(RUN, OTHER, std::ref(learning)),
			  nobody_s_folder() + "/" + model_name(OTHER));
		EXPECT_EQ(learning.calls, 1);
	}
	// A damaged one of its own is passed over in silence.
	put(nobody_s_folder() + "/" + model_name(VALGRIND), "damaged\n");
	Store store(refuse_to_say, nobody_s_folder());
	EXPECT_EQ(store.model(RUN, VALGRIND, std::ref(learning)), kept);
	EXPECT_EQ(learning.calls, 1);
}

// Runs the AsNobody child test named as user nobody, with env set, on a
// copy of this program in scratch (nobody may not reach the build).
void as_nobody(const Scratch &scratch, const std::string &env, const std::string &test)
{
	// Like /var/tmp: everyone's to write, sticky.
	chmod(scratch.path.c_str(), 01777);
	std::string copy = scratch / "store-test";
	fs::copy_file("/proc/self/exe", copy);
	chmod(copy.c_str(), 0755);
	// runuser lies in sbin, which a short PATH leaves out.
	std::string command = "PATH=\"$PATH:/usr/sbin:/sbin\"; runuser -u nobody -- env -u XDG_CACHE_HOME " +
			      env + " HOME=/nonexistent PARENT=" + scratch.path + " " + copy +
			      " --gtest_also_run_disabled_tests --gtest_filter=AsNobody.DISABLED_" + test;
	ASSERT_EQ(std::system(command.c_str()), 0) << command;
	struct stat status;
	ASSERT_EQ(lstat((scratch / "loadgrid-model-65534").c_str(), &status), 0);
	EXPECT_EQ(status.st_uid, NOBODY);
	EXPECT_EQ(status.st_mode & 07777, 0700u);
}

TEST(AsNobody, HomeUnwritable)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "runs as user nobody only when started as root";
	Scratch scratch;
	as_nobody(scratch, "-u LOADGRID_MODEL_CACHE", "HomeUnwritable");
	EXPECT_EQ(names_in(scratch / "loadgrid-model-65534"),
		  (std::vector<std::string>{model_name(VALGRIND),
					    "valgrind-" + VALGRIND.key.substr(0, 16) + ".version"}));
}

TEST(AsNobody, ReadOnlyCacheAnswers)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "runs as user nobody only when started as root";
	Scratch scratch;
	{
		Learning learning;
		Environment cache("LOADGRID_MODEL_CACHE", (scratch / "cache").c_str());
		Store(refuse_to_say).model(RUN, VALGRIND, std::ref(learning));
	}
	// Kept models are their user's alone: this folder is shared on purpose.
	chmod((scratch / "cache").c_str(), 0755);
	chmod((scratch / "cache/" + model_name(VALGRIND)).c_str(), 0644);
	as_nobody(scratch, "LOADGRID_MODEL_CACHE=" + scratch / "cache", "ReadOnlyCache");
	EXPECT_EQ(names_in(scratch / "cache"), std::vector<std::string>{model_name(VALGRIND)});
}

} // namespace
