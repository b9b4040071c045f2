// The run: reads the options, names the log, and hands the run to its mode.
#pragma once

namespace tkr {

// The whole run: options, log name, the mode's work, then the prompt or the summary line.
// Returns the exit status (see modes/mode.h).
[[nodiscard]] int RunRepair(int argc, wchar_t** argv);

// The entry point's body: RunRepair, or, when the run cannot go on (no memory, a text that
// cannot be formatted, no local time), a message on the console and 3.
[[nodiscard]] int RunTool(int argc, wchar_t** argv);

} // namespace tkr
