// A model's misses, counted through a Sim.
#pragma once

#include <cstdint>

#include "cache.h"
#include "pattern.h"

// Runs the passes of a model with the stack shift bytes lower through
// sim: its loop steps through segments compiled to line numbers, the rest
// record by record, and for a model whose passes repeat, only until a pass
// leaves the caches as it found them.  The counts are those of every record
// of the run through sim in turn.
void misses(const Model &m, int passes, std::int64_t shift, Sim &sim);
