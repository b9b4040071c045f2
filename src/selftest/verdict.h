// The self-test's lines: on the console and, the same, in a UTF-8 report file; each check's
// outcome counted for the verdict.
#pragma once

#include "platform/unique.h"
#include "report/console.h"

#include <string>
#include <vector>

namespace tkr::selftest {

struct Outcome {
    enum Kind { Pass, Fail, NotShown } kind = Pass;
    std::wstring text; // what differs, or why the system cannot show it
};
[[nodiscard]] inline Outcome Passed() {
    return {};
}
[[nodiscard]] inline Outcome Failed(std::wstring what) {
    return {Outcome::Fail, std::move(what)};
}
[[nodiscard]] inline Outcome NotShown(std::wstring why) {
    return {Outcome::NotShown, std::move(why)};
}

class Report {
  public:
    // Creates the report file (never one that exists); returns the Windows error.
    [[nodiscard]] DWORD Create(const std::wstring& path);
    void Line(const std::wstring& text);
    // "PASS: <check>", "FAIL: <check>: <what>" or "NOT SHOWN: <check>: <why>".
    void Check(const std::wstring& name, const Outcome& outcome);
    [[nodiscard]] bool AnyFailed() const { return failed_ != 0; }
    // The last line: the counts, then what ran where.
    void Verdict(const std::wstring& system, const std::wstring& tool);
    // The last line of a run that could not plant its keys: "Self-test: nothing was tested; ...".
    void NothingTested(const std::wstring& system, const std::wstring& tool);

  private:
    void End(const std::wstring& verdict);
    Console console_ = Console::Detect();
    UniqueFile file_;
    unsigned passed_ = 0;
    unsigned failed_ = 0;
    unsigned notShown_ = 0;
};

// "Windows 10.0 build 19045, 64-bit", as the system reports itself.
[[nodiscard]] std::wstring SystemDescription();
// The bytes' SHA-256 in lower-case hexadecimal; "unknown (status N)" where it cannot be made.
[[nodiscard]] std::wstring Sha256(const std::vector<BYTE>& bytes);
// Text as UTF-8.
[[nodiscard]] std::string Utf8(const std::wstring& text);

} // namespace tkr::selftest
