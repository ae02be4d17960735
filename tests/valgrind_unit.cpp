// The runs and Valgrind layers' own promises, which the package's answers
// cannot show: scratch folders gone on every way out, the canonical run's
// copy, lackey's lines read as records, and runs ended from another thread.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "cachegrind_runs.h"
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

TEST(Runs, CachegrindStoppedFromAnotherThread)
{
	auto start = std::chrono::steady_clock::now();
	auto measuring = std::async(std::launch::async, [] {
		return valgrind::cachegrind(runs::Run::canonical(KERNEL), {32768, 8, 64});
	});
	while (measuring.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready)
		valgrind::stop_all();
	try {
		measuring.get();
		ADD_FAILURE() << "not stopped";
	} catch (const runs::Failure &e) {
		EXPECT_EQ(std::string(e.what()).rfind("cachegrind: ", 0), 0u) << e.what();
	}
	EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
	EXPECT_TRUE(runs::live_scratch().empty());
}

} // namespace
