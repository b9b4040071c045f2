// The folder for the report, the tool's logs and the copy of the tool the self-test runs: made
// new, owned by Administrators, who alone may write it, and held open without delete sharing
// while the self-test runs, so that neither it nor a folder above it can be renamed and replaced
// (by a junction, say) by a process that is not elevated.
#pragma once

#include "platform/unique.h"

#include <windows.h>

#include <string>
#include <vector>

namespace tkr::selftest {

class ReportFolder {
  public:
    // Makes it beside the folder `beside`, named after the time (never one that exists), owned
    // by Administrators, and holds it open from the moment it is made. Returns the Windows error.
    [[nodiscard]] DWORD Create(const std::wstring& beside);
    [[nodiscard]] const std::wstring& Path() const { return path_; }
    // Writes the bytes as a new file `name` in it; returns the Windows error.
    [[nodiscard]] DWORD Write(const std::wstring& name, const std::vector<BYTE>& bytes) const;
    // Removes the file `name` and the folder, for a self-test that could not start.
    void Discard(const std::wstring& name);

  private:
    std::wstring path_;
    UniqueFile held_;
};

// A file's bytes; returns the Windows error.
[[nodiscard]] DWORD ReadWholeFile(const std::wstring& path, std::vector<BYTE>& bytes);

} // namespace tkr::selftest
