#include "e2e.h"

#include <cstdlib>
#include <cstring>

namespace tkrtest {

std::wstring ToolPath;
std::wstring LogWriterPath;
std::wstring SelfTestPath;
std::wstring StandInPath;

std::string Narrow(const std::wstring& text) {
    std::string narrow;
    for (wchar_t c : text) {
        narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return narrow;
}

void ToolTest::SetUp() {
    std::wstring key;
    ASSERT_EQ(MoveTableKeysAway(&key), ERROR_SUCCESS) << Narrow(key);
    dir = ScratchDirectory(L"e2e");
    exe = dir + L"\\typekey-repair.exe";
    ASSERT_TRUE(CopyFileW(ToolPath.c_str(), exe.c_str(), FALSE));
}

size_t Count(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

std::wstring FindFile(const std::wstring& dir, const std::wstring& pattern) {
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((dir + L"\\" + pattern).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return L"";
    }
    EXPECT_FALSE(FindNextFileW(search, &found)) << "more than one " << Narrow(pattern);
    FindClose(search);
    return dir + L"\\" + found.cFileName;
}

std::vector<std::wstring> TimeStamps(__time64_t from, __time64_t to) {
    std::vector<std::wstring> stamps;
    for (__time64_t t = from; t <= to; ++t) {
        wchar_t suffix[32];
        struct tm local;
        _localtime64_s(&local, &t);
        wcsftime(suffix, 32, L"_%y%m%d_%H%M%S", &local);
        stamps.push_back(suffix);
    }
    return stamps;
}

ToolRun ToolTest::Run(const std::wstring& arguments,
                      const std::function<void(const ProcessSample&)>& sample, HANDLE token) {
    return RunLine(L"\"" + exe + L"\"" + (arguments.empty() ? L"" : L" " + arguments), sample,
                   token);
}

ToolRun ToolTest::RunLine(const std::wstring& commandLine,
                          const std::function<void(const ProcessSample&)>& sample, HANDLE token) {
    const __time64_t before = _time64(nullptr);
    const ProcessResult process = RunProcess(exe, commandLine, sample, token);
    const __time64_t after = _time64(nullptr);

    ToolRun run{process.exitCode, process.output, process.errors, L"", "", L"", ""};
    run.logPath = FindFile(dir, L"*.log");
    run.undoPath = FindFile(dir, L"*_undo.txt");
    if (!run.logPath.empty()) {
        run.log = ReadBytes(run.logPath);
        // Named after the program and the local time at which the run started.
        bool named = false;
        for (const std::wstring& stamp : TimeStamps(before, after)) {
            named |= run.logPath == dir + L"\\typekey-repair" + stamp + L".log";
        }
        EXPECT_TRUE(named) << Narrow(run.logPath);
    }
    if (!run.undoPath.empty()) {
        run.undo = ReadBytes(run.undoPath);
        EXPECT_EQ(run.undoPath.substr(0, run.undoPath.size() - 9),
                  run.logPath.substr(0, run.logPath.size() - 4));
    }
    // Read, they make room for the next run's.
    DeleteFileW(run.logPath.c_str());
    DeleteFileW(run.undoPath.c_str());
    return run;
}

void Expected::Repaired(const std::wstring& key, bool denied) {
    console += "Fix \"" + Narrow(key) + "\" ...\r\nDONE\r\n";
    log += L"Message: Fix \"" + key + L"\" ...\r\n";
    log += denied ? L"Warning: \tFirst SetNamedSecurityInfo access denide\r\n"
                  : L"Message: \tSuccessfully changed DACL permissions\r\n";
    log += L"Message: \tSuccessfully changed DACL owner\r\nMessage: DONE\r\n";
}

void Expected::Locked(const std::wstring& key) {
    if (StrictServer()) {
        Repaired(key, true); // the take-ownership privilege opens it, as on Windows
        return;
    }
    console += "Fix \"" + Narrow(key) + "\" ...\r\nERROR OCCURED\r\n";
    log += L"Message: Fix \"" + key + L"\" ...\r\n";
    log += L"Warning: \tFirst SetNamedSecurityInfo access denide\r\n"
           L"!ERROR!: \tCould not set owner. Error: 5\r\n!ERROR!: ERROR OCCURED\r\n";
}

void Expected::Missing(const std::wstring& key) {
    console += "Fix \"" + Narrow(key) + "\" ...\r\nERROR OCCURED\r\n";
    log += L"Message: Fix \"" + key + L"\" ...\r\n";
    log += L"!ERROR!: \tFirst SetNamedSecurityInfo call failed: 2\r\n!ERROR!: ERROR OCCURED\r\n";
}

void Expected::Link(const std::wstring& key) {
    console += "Fix \"" + Narrow(key) + "\" ...\r\nSKIPPED: registry link, not followed\r\n";
    log += L"Message: Fix \"" + key + L"\" ...\r\n";
    log += L"Warning: SKIPPED: registry link, not followed\r\n";
}

// "PE32, i386" or "PE32+, x86-64" from the exe's headers; empty if it is neither.
std::string Architecture(const std::wstring& exe) {
    const std::string bytes = ReadBytes(exe);
    DWORD at = 0;
    if (bytes.size() < 0x40 || (std::memcpy(&at, bytes.data() + 0x3C, 4), bytes.size() < at + 26) ||
        bytes.compare(at, 4, std::string("PE\0\0", 4)) != 0) {
        return "";
    }
    WORD machine = 0, magic = 0;
    std::memcpy(&machine, bytes.data() + at + 4, 2);
    std::memcpy(&magic, bytes.data() + at + 24, 2);
    if (machine == IMAGE_FILE_MACHINE_I386 && magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
        return "PE32, i386";
    }
    return machine == IMAGE_FILE_MACHINE_AMD64 && magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC
               ? "PE32+, x86-64"
               : "";
}

} // namespace tkrtest

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--tool=", 7) == 0) {
            tkrtest::ToolPath = tkrtest::WindowsPath(argv[i] + 7);
        } else if (std::strncmp(argv[i], "--log-writer=", 13) == 0) {
            tkrtest::LogWriterPath = tkrtest::WindowsPath(argv[i] + 13);
        } else if (std::strncmp(argv[i], "--selftest=", 11) == 0) {
            tkrtest::SelfTestPath = tkrtest::WindowsPath(argv[i] + 11);
        } else if (std::strncmp(argv[i], "--stand-in=", 11) == 0) {
            tkrtest::StandInPath = tkrtest::WindowsPath(argv[i] + 11);
        }
    }
    if (tkrtest::ToolPath.empty()) {
        std::fprintf(stderr, "usage: e2e_tests --tool=PATH [--log-writer=PATH]\n");
        return 2;
    }
    // The tests run the exe built with them: the shipped 32-bit one in a 32-bit build.
    const std::string architecture = tkrtest::Architecture(tkrtest::ToolPath);
    std::printf("e2e: running %s (%s)\n", tkrtest::Narrow(tkrtest::ToolPath).c_str(),
                architecture.c_str());
    if (architecture != (sizeof(void*) == 4 ? "PE32, i386" : "PE32+, x86-64")) {
        std::fprintf(stderr, "e2e: the tool is not of this build's architecture\n");
        return 1;
    }
    // The rules the tests hold the tool to are Windows' only on the strict server.
    const char* wanted = std::getenv("TKR_WINE_SERVER");
    const char* server = tkrtest::StrictServer() ? "strict" : "stock";
    std::printf("e2e: Wine server: %s\n", server);
    if (wanted != nullptr && std::strcmp(wanted, server) != 0) {
        std::fprintf(stderr, "e2e: the %s Wine server was to run, not the %s one\n", wanted,
                     server);
        return 1;
    }
    return RUN_ALL_TESTS();
}
