// The runs and Valgrind layers' own promises, which the package's answers
// cannot show: scratch folders gone on every way out, the canonical run's
// copy, lackey's lines read as records, and a stop's children killed.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "cachegrind_runs.h"
#include "child.h"
#include "failure.h"
#include "lackey.h"
#include "run.h"
#include "scratch.h"

namespace {

using namespace loadgrid;

bool exists(const std::string &path)
{
	struct stat st;
	return lstat(path.c_str(), &st) == 0;
}

TEST(Scratch, FolderOfTheCanonicalLengthGoneWithTheObject)
{
	std::string path;
	{
		runs::Scratch a, b;
		path = a.path();
		EXPECT_EQ(path.size(), std::string(runs::CANONICAL).size());
		EXPECT_EQ(path.rfind("/tmp/loadgrid-model.", 0), 0u);
		EXPECT_NE(a.path(), b.path());
		EXPECT_EQ(runs::live_scratch(), (std::vector<std::string>{a.path(), b.path()}));
		mkdir((path + "/sub").c_str(), 0700);
		FILE *f = fopen((path + "/sub/file").c_str(), "w");
		ASSERT_TRUE(f);
		fclose(f);
	}
	EXPECT_FALSE(exists(path));
	EXPECT_TRUE(runs::live_scratch().empty());
}

TEST(Scratch, RemovedWhenAnExceptionPassesAndOnTheSignalPath)
{
	std::string path;
	try {
		runs::Scratch s;
		path = s.path();
		throw runs::Failure("on the way out");
	} catch (const runs::Failure &) {
	}
	EXPECT_FALSE(exists(path));
	// The signal path closes the program's scratch for good: in a child.
	pid_t child = fork();
	ASSERT_GE(child, 0);
	if (child == 0) {
		runs::Scratch s;
		runs::remove_live_scratch();
		bool refused = false;
		try {
			runs::Scratch late;
		} catch (const runs::Failure &) {
			refused = true;
		}
		_exit(!exists(s.path()) && refused ? 0 : 1);
	}
	int status = 0;
	ASSERT_EQ(waitpid(child, &status, 0), child);
	EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
	EXPECT_TRUE(runs::live_scratch().empty());
}

TEST(Scratch, CanonicalRunStartsACopyInItsOwnFolder)
{
	runs::Run run = runs::Run::canonical(KERNEL);
	std::string folder;
	{
		runs::Started s = run.started();
		folder = s.folder;
		EXPECT_EQ(s.path, s.folder + "/loadgrid1");
		EXPECT_EQ(s.cwd, s.folder);
		struct stat st;
		ASSERT_EQ(stat(s.path.c_str(), &st), 0);
		EXPECT_EQ(st.st_mode & 07777, 0755u);
		struct stat original;
		ASSERT_EQ(stat(KERNEL, &original), 0);
		EXPECT_EQ(st.st_size, original.st_size);
	}
	EXPECT_FALSE(exists(folder));
	runs::Run here = runs::Run::from_here(KERNEL, "typed/loadgrid1");
	runs::Started s = here.started();
	EXPECT_EQ(s.path, "typed/loadgrid1");
	EXPECT_EQ(s.cwd, here.cwd);
	EXPECT_FALSE(exists(s.folder + "/loadgrid1"));
}

TEST(Records, LackeyLinesAndValgrindsOwn)
{
	using valgrind::record;
	EXPECT_EQ(*record("I  004014f0,2"), (Record{'I', 0x4014f0, 2}));
	EXPECT_EQ(*record(" L 1fff000d30,8"), (Record{'L', 0x1fff000d30, 8}));
	EXPECT_EQ(*record(" S 7ff,4"), (Record{'S', 0x7ff, 4}));
	EXPECT_EQ(*record(" M 10,16"), (Record{'M', 0x10, 16}));
	for (const char *own :
	     {"==123== Lackey, an example Valgrind tool", "", " X 10,4", "I 10,4", "L 10,4"})
		EXPECT_FALSE(record(own)) << own;
	EXPECT_THROW(record(" L 10;4"), runs::Failure);
	EXPECT_THROW(record("I  10,4,4"), runs::Failure);
}

TEST(Runs, StoppedOnARecordOrAnExceptionLeavingNothing)
{
	std::size_t seen = 0;
	auto recs =
	    valgrind::lackey(runs::Run::canonical(KERNEL), [&](const Record &) { return ++seen == 100; });
	EXPECT_EQ(recs.size(), 100u);
	EXPECT_EQ(recs[0].kind, 'I');
	EXPECT_THROW(valgrind::lackey(runs::Run::canonical(KERNEL),
				      [](const Record &) -> bool { throw runs::Failure("enough"); }),
		     runs::Failure);
	EXPECT_TRUE(runs::live_scratch().empty());
}

TEST(Runs, FailedKernelRunSaysHowItEnded)
{
	try {
		valgrind::lackey(runs::Run::canonical("/bin/false"));
		FAIL() << "no failure";
	} catch (const runs::Failure &e) {
		EXPECT_STREQ(e.what(), "lackey: false: exit status 1");
	}
}

// Whether a child of this process runs a program other than sleep.
bool runs_other_than_sleep()
{
	for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
		std::ifstream file(entry.path() / "stat");
		std::string text;
		std::getline(file, text);
		std::size_t open = text.find('('), close = text.rfind(')');
		if (open == std::string::npos || close == std::string::npos)
			continue;
		std::istringstream rest(text.substr(close + 1));
		char state;
		pid_t parent;
		if (rest >> state >> parent && parent == getpid() &&
		    text.substr(open + 1, close - open - 1) != "sleep")
			return true;
	}
	return false;
}

// What a stop does, in a process of its own: after it, nothing starts.
void stopped()
{
	using namespace std::chrono_literals;
	using valgrind::Child, valgrind::Output, valgrind::Input, valgrind::AtStop;
	const std::vector<std::string> sleep{"/bin/sleep", "20"};
	Child killed(sleep, {}, "/", {Output::Null}, {Output::Null});
	Child own(sleep, {}, "/", {Output::Null}, {Output::Null}, Input::Null, AtStop::Own);
	auto check = [&](bool ok, const std::string &what) {
		if (!ok) {
			std::fprintf(stderr, "not so: %s\n", what.c_str());
			killed.kill();
			own.kill();
			std::exit(1);
		}
	};
	auto waiting = std::async(std::launch::async, [&] { return killed.wait(); });
	auto measuring = std::async(std::launch::async, [] {
		valgrind::cachegrind(runs::Run::canonical(KERNEL), {32768, 8, 64});
		return std::string("not stopped");
	});
	check(waiting.wait_for(200ms) == std::future_status::timeout, "the child ran before the stop");
	for (int k = 0; k < 5000 && !runs_other_than_sleep(); k++)
		std::this_thread::sleep_for(1ms);
	check(runs_other_than_sleep(), "Valgrind started");
	Child::kill_all();
	check(waiting.wait_for(5s) == std::future_status::ready && waiting.get() == -SIGKILL,
	      "the child killed, seen from the thread that waits on it");
	for (int k = 0; k < 20; k++, std::this_thread::sleep_for(10ms))
		check(!own.ended(), "a child with a stop of its own left to it");
	check(measuring.wait_for(5s) == std::future_status::ready, "the run stopped");
	try {
		check(false, measuring.get());
	} catch (const runs::Failure &e) {
		check(std::string(e.what()).rfind("cachegrind: ", 0) == 0, e.what());
	}
	try {
		valgrind::cachegrind(runs::Run::canonical(KERNEL), {32768, 8, 64});
		check(false, "a run after the stop refused");
	} catch (const runs::Failure &e) {
		check(std::string(e.what()).find("not started, the program is stopping") != std::string::npos,
		      e.what());
	}
	check(runs::live_scratch().empty(), "the runs' folders gone");
	own.kill();
	std::fprintf(stderr, "stopped\n");
	std::exit(0);
}

TEST(RunsDeathTest, AStopKillsTheChildrenAndStartsNoMore)
{
	GTEST_FLAG_SET(death_test_style, "threadsafe");
	EXPECT_EXIT(stopped(), testing::ExitedWithCode(0), "stopped");
}

} // namespace
