// The model's answers for a run: its learned model, kept in the store or
// learned now, and what is known of this Valgrind on this machine.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "answers.h" // the engine's
#include "caches.h"
#include "report_file.h"
#include "run.h"
#include "store.h"

namespace loadgrid::cli {

using cachegrind::Geometry;

class Answers {
      public:
	Answers();

	// The narrowest line cachegrind takes here; MIN_LINE without
	// Valgrind, which alone can tell.
	std::uint64_t narrowest_line();
	// The I1, D1 and LL that cachegrind picks on this machine.
	std::vector<Geometry> default_caches();

	// The file of a run's learned model: kept, or learned now and kept.
	std::string model_file(const runs::Run &run);
	// The run's model, read once.
	const Model &model(const runs::Run &run);

	// The events by place of one hierarchy of I1, D1 and LL.
	cachegrind::Places report(const runs::Run &run, const std::vector<Geometry> &levels, int passes,
				  std::int64_t shift);

	// Caches as the engine takes them.
	static std::vector<CacheShape> shapes(const std::vector<Geometry> &geometries);
	static CacheShape cache_shape(const Geometry &g);

      private:
	store::Store store_;
	std::optional<std::optional<std::string>> version_; // unset: not asked yet
	std::string valgrind_key_;
	std::map<std::string, Model> models_;

	std::optional<std::string> version();
	const std::string &valgrind_key();
	std::vector<std::string> fact(const std::string &name,
				      const std::function<std::vector<std::string>()> &find,
				      const std::function<void(const std::vector<std::string> &)> &check);
	void learn(const runs::Run &run, const std::vector<std::string> &notes, const std::string &tmp);
};

} // namespace loadgrid::cli
