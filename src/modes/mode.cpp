#include "modes/mode.h"

namespace tkr {
namespace {

std::wstring Count(unsigned count, const wchar_t* one, const wchar_t* many) {
    return std::to_wstring(count) + L" " + (count == 1 ? one : many);
}

} // namespace

std::wstring SummaryLine(const Tally& tally, const SummaryWords& words) {
    return L"Summary: " + Count(tally[Outcome::Done], words.done[0], words.done[1]) + L", " +
           Count(tally[Outcome::Failed], words.failed[0], words.failed[1]) + L", " +
           Count(tally[Outcome::Link], L"registry link skipped", L"registry links skipped") +
           L", " + Count(tally[Outcome::NotPresent], L"key not present", L"keys not present");
}

} // namespace tkr
