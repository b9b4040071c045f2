// A run's mode: what it does with the keys, how its summary line reads, and its exit status.
#pragma once

#include "driver/walk.h"

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
    virtual void Run(Tally& tally) = 0;
    // "Summary: ..." for the tally.
    [[nodiscard]] virtual std::wstring Summary(const Tally& tally) const = 0;
    [[nodiscard]] virtual int ExitStatus(bool quiet, const Tally& tally) const = 0;
};

// What a mode calls its done and its failed keys, for one key and for several.
struct SummaryWords {
    const wchar_t* done[2];
    const wchar_t* failed[2];
};

// "Summary: N <done>, N <failed>, N registry links skipped, N keys not present".
std::wstring SummaryLine(const Tally& tally, const SummaryWords& words);

} // namespace tkr
