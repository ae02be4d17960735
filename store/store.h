#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cache_folder.h"
#include "temporaries.h"

namespace loadgrid::store {

// Says a step or a choice on standard error, as the command's say() does.
using Say = std::function<void(const std::string &)>;

using Lines = std::vector<std::string>;

// What names a run's model: the kernel's file name, its digest and the
// run's key (run_key()).
struct ModelRun {
	std::string name;
	std::string binary;
	std::string key;
};

// The Valgrind that learns models: its --version line and its key on this
// machine.
struct Valgrind {
	std::string version;
	std::string key;
};

// Learns a model into the file temporary, sealed (sealed()) with the notes
// as its last lines, and checks it; whatever it throws goes to the caller.
using Learn = std::function<void(const std::string &temporary, const Lines &notes)>;

// Models and Valgrind's facts, kept in cache_dir(); where that cannot be
// written, in the per-user folder; where that cannot be used either, models
// go in a temporary folder removed with the Store, or on a signal by
// remove_temporaries().
class Store {
      public:
	explicit Store(Say say, std::string fallback = per_user_folder());
	Store(const Store &) = delete;
	Store &operator=(const Store &) = delete;
	~Store();

	// Lines about this Valgrind on this machine that find() gives and
	// check(lines) accepts (else throwing), kept in valgrind-KEY16.NAME
	// under an identity line; a kept file that is damaged, not for them
	// or not accepted is found again.  Failing to keep it is no error.
	const Lines &fact(const std::string &name, const std::string &valgrind_key,
			  const std::function<Lines()> &find,
			  const std::function<void(const Lines &)> &check);

	// The file of the learned model of a run: kept, or learned now by
	// learn and kept.  Without a Valgrind only models kept before answer,
	// the newest first.
	std::string model(const ModelRun &run, const std::optional<Valgrind> &valgrind, const Learn &learn);

	// The folder of models for this run only, if one had to be made.
	std::optional<std::string> temporary_folder() const;

      private:
	const std::optional<std::string> &kept_folder();
	Lines model_folders();
	Lines kept_models(const std::string &stem, const std::optional<Valgrind> &valgrind,
			  const Lines &folders);
	std::string learned(const std::string &file, const Lines &notes, const Learn &learn);
	std::string learning_folder();

	Say say_;
	std::string fallback_;
	bool chosen_ = false;
	std::optional<std::string> kept_;
	std::string why_not_kept_;
	std::unique_ptr<TemporaryFolder> temporary_;
	std::map<std::string, Lines> facts_;
};

} // namespace loadgrid::store
