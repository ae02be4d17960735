#include "failure.h"

#include <sys/wait.h>

namespace loadgrid::runs {

namespace {

// Signal names as the command's messages have always given them: the
// real-time signals between the first and the last have none.
const char *signal_name(int signum)
{
	static const char *const names[] = {
	    nullptr,	 "SIGHUP",  "SIGINT",	 "SIGQUIT", "SIGILL",	"SIGTRAP", "SIGABRT", "SIGBUS",
	    "SIGFPE",	 "SIGKILL", "SIGUSR1",	 "SIGSEGV", "SIGUSR2",	"SIGPIPE", "SIGALRM", "SIGTERM",
	    "SIGSTKFLT", "SIGCHLD", "SIGCONT",	 "SIGSTOP", "SIGTSTP",	"SIGTTIN", "SIGTTOU", "SIGURG",
	    "SIGXCPU",	 "SIGXFSZ", "SIGVTALRM", "SIGPROF", "SIGWINCH", "SIGIO",   "SIGPWR",  "SIGSYS",
	};
	if (signum > 0 && signum < int(sizeof names / sizeof *names))
		return names[signum];
	if (signum == 34)
		return "SIGRTMIN";
	if (signum == 64)
		return "SIGRTMAX";
	return nullptr;
}

} // namespace

std::string status(int returncode)
{
	if (returncode >= 0)
		return "exit status " + std::to_string(returncode);
	if (const char *name = signal_name(-returncode))
		return std::string("killed by ") + name;
	return "killed by signal " + std::to_string(-returncode);
}

int returncode(int wait_status)
{
	if (WIFSIGNALED(wait_status))
		return -WTERMSIG(wait_status);
	return WEXITSTATUS(wait_status);
}

} // namespace loadgrid::runs
