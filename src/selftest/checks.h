// The runs of the tool on the planted keys, and the checks of their outcome.
#pragma once

#include "security/privilege.h"
#include "selftest/seeds.h"
#include "selftest/tool_runs.h"
#include "selftest/verdict.h"

namespace tkr::selftest {

// Everything after the seeds are planted: the runs and the checks, each a line of the report.
void TestTheTool(Runner& runner, const ProcessToken& token, const Seeds& seeds, Report& report);

} // namespace tkr::selftest
