// Console output: whole lines on standard output and standard error.
#pragma once

#include <string>

namespace tkr {

// Where console lines go, as the run found standard output and error.
class Console {
  public:
    // Both redirected (to a file or pipe).
    Console() = default;
    Console(bool outputIsConsole, bool errorIsConsole)
        : outputIsConsole_(outputIsConsole), errorIsConsole_(errorIsConsole) {}
    // What standard output and error are now.
    [[nodiscard]] static Console Detect();

    // Writes one whole line to standard output (or error): as exact UTF-16 text on a console;
    // otherwise as the runtime converts each character, "?" for one it cannot, and a line end.
    void WriteOutputLine(const std::wstring& text) const;
    void WriteErrorLine(const std::wstring& text) const;

  private:
    bool outputIsConsole_ = false;
    bool errorIsConsole_ = false;
};

} // namespace tkr
