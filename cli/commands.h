// The commands, each given its checked arguments; each returns the status
// to exit with.
#pragma once

#include "arguments.h"
#include "model_answers.h"

namespace loadgrid::cli {

int trace(Answers &answers, const Arguments &a, const runs::Run &run);
int misses(Answers &answers, const Arguments &a, const runs::Run &run);
int lab(Answers &answers, const Arguments &a, const runs::Run &run);
int surface_command(Answers &answers, const Arguments &a, const runs::Run &run);
int predict(Answers &answers, const Arguments &a, const runs::Run &run);
// Both predict the run that cachegrind measures from that run's own model:
// a run moved by --stack-shift is learned as it is, start-up and all.
int check(Answers &answers, const Arguments &a, const runs::Run &run);
int check_report(Answers &answers, const Arguments &a, const runs::Run &run);
int facts(Answers &answers, const Arguments &a, const runs::Run &run);
int run_tool(const Arguments &a, const runs::Run &run);
int shift(const Arguments &a, const std::string &kernel);

} // namespace loadgrid::cli
