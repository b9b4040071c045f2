#include "report/display_name.h"

namespace tkr {

std::wstring DisplayName(const std::wstring& name) {
    std::wstring shown;
    shown.reserve(name.size());
    for (const wchar_t c : name) {
        if ((c < 0x20 && c != L'\t') || c == 0x7F) {
            shown.push_back(L'^');
            shown.push_back(c == 0x7F ? L'?' : static_cast<wchar_t>(c + L'@'));
        } else {
            shown.push_back(c);
        }
    }
    return shown;
}

} // namespace tkr
