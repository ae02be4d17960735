// What stops the program: SIGINT, SIGTERM and SIGHUP.  A thread of its own
// takes them, runs what was asked to be done at a stop (children killed,
// folders under /tmp removed), waits for any step that must finish first,
// then says "loadgrid-model: SIGNAME: stopped" and ends the program with
// status 128 + the signal.
#pragma once

#include <signal.h>

#include <functional>

namespace loadgrid::cli::signals {

// Blocks the signals in this thread and those it starts, and starts the
// thread that takes them: call before any other thread starts.  Children
// must be started with them unblocked (unblocked()).
void take();

// What a stop must do first; forget(id) once it need not.  again: a
// removal, run once more just before the program ends, for what was made
// while the stops ran.
int at_stop(std::function<void()> stop, bool again = false);
void forget(int id);

// While a Hold lives, a stop waits for it to go before the program ends:
// for a step that must finish what it was doing, as moving a tool's output.
class Hold {
      public:
	Hold();
	~Hold();
	Hold(const Hold &) = delete;
	Hold &operator=(const Hold &) = delete;
};

// The signal that is stopping the program, or 0.
int stopping();

// The signals' set, which a child is started with unblocked.
const sigset_t &taken();

} // namespace loadgrid::cli::signals
