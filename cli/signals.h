// What stops the program: SIGINT, SIGTERM and SIGHUP.  A thread of its own
// takes them, runs what was asked to be done at a stop (children killed, a
// tool asked to end), waits for any step that must finish first, removes
// the folders under /tmp, then says "loadgrid-model: SIGNAME: stopped" and
// ends the program with status 128 + the signal.
#pragma once

#include <signal.h>

#include <functional>

namespace loadgrid::cli::signals {

// Blocks the signals in this thread and those it starts, and starts the
// thread that takes them: call before any other thread starts.  Children
// must be started with them unblocked (unblocked()).
void take();

// What a stop must do; forget(id) once it need not.  One asked for while a
// stop is under way runs too.  removal: run only once every Hold has gone,
// just before the program ends.
int at_stop(std::function<void()> stop, bool removal = false);
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
