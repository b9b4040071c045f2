// Key names as lines show them: text others shape, made safe to print. Computes only.
#pragma once

#include <string>

namespace tkr {

// A key name or path as console and log lines show it: control characters (below U+0020 other
// than tab, and U+007F) in caret notation ("^M" for CR, "^?" for DEL), so that no name can
// break or forge a line or drive a terminal. Other names are returned unchanged.
std::wstring DisplayName(const std::wstring& name);

} // namespace tkr
