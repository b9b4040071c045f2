// The lengths a registry name can have, as the tool keeps to them.
#pragma once

#include <cstddef>
#include <string>

namespace tkr {

// The longest key path the tool handles: "CLASSES_ROOT\" and the path together must fit in the
// units a registry name can have.
inline constexpr size_t kMaxRegistryNameLength = 32766;
inline constexpr size_t kMaxKeyPathLength =
    kMaxRegistryNameLength - std::char_traits<wchar_t>::length(L"CLASSES_ROOT\\");

} // namespace tkr
