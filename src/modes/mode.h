// A run's mode: what it does with the keys, how its summary line reads, and its exit status.
#pragma once

#include "registry/walk.h"
#include "report/run_log.h"

#include <string>

namespace tkr {

// Exit statuses: done; a key failed or needs repair (as each mode's rule says); a usage error or
// an undo file that cannot be used; the run was stopped.
inline constexpr int kStatusDone = 0;
inline constexpr int kStatusFailed = 1;
inline constexpr int kStatusUsage = 2;
inline constexpr int kStatusStopped = 3;

class Mode {
  public:
    virtual ~Mode() = default;
    // Whether the mode changes keys: changing runs take turns.
    [[nodiscard]] virtual bool ChangesKeys() const { return true; }
    virtual void Run(Tally& tally) = 0;
    // "Summary: ..." for the tally.
    [[nodiscard]] virtual std::wstring Summary(const Tally& tally) const = 0;
    [[nodiscard]] virtual int ExitStatus(bool quiet, const Tally& tally) const = 0;
};

// A mode's action on the keys the walk reaches, reporting each as the modes do: the
// announcement "<verb> "<path>" ..." and a Warning line for a key passed by.
class ReportingAction : public KeyAction {
  public:
    ReportingAction(const wchar_t* verb, const RunLog& log) : verb_(verb), log_(log) {}
    void Announce(const std::wstring& path) override;
    void Skipped(Skip why, DWORD detail) override;

  protected:
    const wchar_t* verb_;
    const RunLog& log_;
};

// The announcement of a key, on the console and in the log: "<verb> "<path>" ...".
void AnnounceKey(const RunLog& log, const wchar_t* verb, const std::wstring& path);
// Reports and counts a key whose open reached a registry link; returns whether it did.
[[nodiscard]] bool SkippedAsLink(const RunLog& log, LSTATUS status, Tally& tally);

// What a mode calls its done and its failed keys, for one key and for several.
struct SummaryWords {
    const wchar_t* done[2];
    const wchar_t* failed[2];
};

// "Summary: N <done>, N <failed>, N registry links skipped, N keys not present".
std::wstring SummaryLine(const Tally& tally, const SummaryWords& words);

} // namespace tkr
