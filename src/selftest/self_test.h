// typekey-repair-selftest: runs the tool beside it on this machine's registry, on seeded keys
// that lock administrators out, links, an inheritance family and large trees, and judges the
// outcome through the registry itself.
#pragma once

namespace tkr::selftest {

// Returns the exit status: 0 when no check failed, 1 when one did, 2 when it could not run.
[[nodiscard]] int RunSelfTest(int argc, wchar_t** argv);

} // namespace tkr::selftest
