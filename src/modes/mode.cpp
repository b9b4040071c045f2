#include "modes/mode.h"

#include "report/report.h"

namespace tkr {
namespace {

std::wstring Count(unsigned count, const wchar_t* one, const wchar_t* many) {
    return std::to_wstring(count) + L" " + (count == 1 ? one : many);
}

constexpr wchar_t kLinkSkipped[] = L"SKIPPED: registry link, not followed";

} // namespace

void ReportingAction::Announce(const std::wstring& path) {
    AnnounceKey(log_, verb_, path);
}

void ReportingAction::Skipped(Skip why, DWORD detail) {
    switch (why) {
    case Skip::Link:
        return ShowReport(log_, ReportLevel::Warning, kLinkSkipped);
    case Skip::PathTooLong:
        return ShowReport(log_, ReportLevel::Warning, L"SKIPPED: key path too long");
    case Skip::Name:
        return ShowReport(log_, ReportLevel::Warning,
                          L"SKIPPED: a name the registry functions cannot open");
    case Skip::Subkeys:
        return ShowReport(log_, ReportLevel::Warning,
                          L"SKIPPED: the keys below it cannot be listed (error %u)",
                          static_cast<unsigned>(detail));
    case Skip::SubkeyNames:
        return ShowReport(log_, ReportLevel::Warning,
                          L"SKIPPED: %u names of the keys below it cannot be read",
                          static_cast<unsigned>(detail));
    }
}

void AnnounceKey(const RunLog& log, const wchar_t* verb, const std::wstring& path) {
    ShowReport(log, ReportLevel::Message, L"%ls \"%ls\" ...", verb, DisplayName(path).c_str());
}

bool SkippedAsLink(const RunLog& log, LSTATUS status, Tally& tally) {
    if (status != kRegistryLink) {
        return false;
    }
    ShowReport(log, ReportLevel::Warning, kLinkSkipped);
    tally.Add(Outcome::Link);
    return true;
}

std::wstring SummaryLine(const Tally& tally, const SummaryWords& words) {
    return L"Summary: " + Count(tally[Outcome::Done], words.done[0], words.done[1]) + L", " +
           Count(tally[Outcome::Failed], words.failed[0], words.failed[1]) + L", " +
           Count(tally[Outcome::Link], L"registry link skipped", L"registry links skipped") +
           L", " + Count(tally[Outcome::NotPresent], L"key not present", L"keys not present");
}

} // namespace tkr
