// The command line: the inheritance options and the options that choose the run's mode, its
// ending and the log's folder.
#pragma once

#include <windows.h>

#include <string>

namespace tkr {

struct RunOptions {
    DWORD inheritanceFlags = CONTAINER_INHERIT_ACE;
    bool quiet = false;     // "-q": no prompt, a summary line, a telling exit status
    bool check = false;     // "-check": report what a repair would change, change nothing
    std::wstring logFolder; // "-log DIR"
    std::wstring undoFile;  // "-undo FILE": a restore run
};

// The inheritance word chosen by the "-i1" to "-i5" options; 2 when none is given.
DWORD ParseInheritanceFlags(int argc, wchar_t** argv);

// Whether an argument asks for the usage ("-?", "/?", "-h", "-help", "--help"), wherever it stands.
[[nodiscard]] bool AsksForHelp(int argc, wchar_t** argv);

// Reads the options into `options`. Returns an empty text, or what is wrong with the command line
// (a usage error). Arguments that are no option are ignored.
[[nodiscard]] std::wstring ParseOptions(int argc, wchar_t** argv, RunOptions& options);

} // namespace tkr
