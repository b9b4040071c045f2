#include "process.h"

#include <psapi.h>
#include <winternl.h>

#include <atomic>
#include <thread>
#include <vector>

namespace tkrtest {
namespace {

// One entry of the system's handle table (SystemHandleInformation).
struct HandleEntry {
    ULONG processId;
    BYTE objectType;
    BYTE flags;
    USHORT handle;
    PVOID object;
    ACCESS_MASK access;
};

int CountHandles(DWORD processId) {
    using Query = NTSTATUS(NTAPI*)(ULONG, PVOID, ULONG, PULONG);
    static const auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll"), "NtQuerySystemInformation")));
    std::vector<BYTE> buffer(1 << 20);
    for (;;) {
        ULONG needed = 0;
        const NTSTATUS status =
            query(16, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status == 0) {
            break;
        }
        if (buffer.size() >= (64u << 20)) {
            return -1;
        }
        buffer.resize(buffer.size() * 2);
    }
    const ULONG count = *reinterpret_cast<const ULONG*>(buffer.data());
    const auto* entries = reinterpret_cast<const HandleEntry*>(buffer.data() + sizeof(ULONG_PTR));
    int mine = 0;
    for (ULONG i = 0; i < count; ++i) {
        mine += entries[i].processId == processId;
    }
    return mine;
}

} // namespace

ProcessResult RunProcess(const std::wstring& program, const std::wstring& commandLine,
                         const std::function<void(const ProcessSample&)>& sample, HANDLE token) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    CreatePipe(&readEnd, &writeEnd, &inherit, 0);
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    HANDLE errorReadEnd = nullptr;
    HANDLE errorWriteEnd = nullptr;
    CreatePipe(&errorReadEnd, &errorWriteEnd, &inherit, 0);
    SetHandleInformation(errorReadEnd, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = errorWriteEnd;
    PROCESS_INFORMATION process{};
    std::wstring line = commandLine;
    ProcessResult result;
    // Under load Wine now and then fails to start a process with ERROR_INTERNAL_ERROR (1359)
    // before anything of it ran: a start that failed that way is tried again, a few times.
    BOOL started = FALSE;
    for (int tries = 0; !started && tries < 5; ++tries) {
        if (tries != 0) {
            Sleep(200);
        }
        started = token ? CreateProcessAsUserW(token, program.c_str(), line.data(), nullptr,
                                               nullptr, TRUE, DETACHED_PROCESS, nullptr, nullptr,
                                               &startup, &process)
                        : CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE,
                                         DETACHED_PROCESS, nullptr, nullptr, &startup, &process);
        if (!started && GetLastError() != ERROR_INTERNAL_ERROR) {
            break;
        }
    }
    if (!started) {
        result.exitCode = static_cast<DWORD>(-1);
        result.output = "CreateProcessW failed: " + std::to_string(GetLastError());
        for (HANDLE pipe : {writeEnd, readEnd, errorWriteEnd, errorReadEnd}) {
            CloseHandle(pipe);
        }
        return result;
    }
    CloseHandle(writeEnd);
    CloseHandle(errorWriteEnd);

    std::atomic<size_t> outputBytes{0};
    std::thread reader([&] {
        char buffer[65536];
        DWORD read = 0;
        while (ReadFile(readEnd, buffer, sizeof buffer, &read, nullptr) && read != 0) {
            result.output.append(buffer, read);
            outputBytes += read;
        }
    });
    std::thread errorReader([&] {
        char buffer[4096];
        DWORD read = 0;
        while (ReadFile(errorReadEnd, buffer, sizeof buffer, &read, nullptr) && read != 0) {
            result.errors.append(buffer, read);
        }
    });
    if (sample) {
        while (WaitForSingleObject(process.hProcess, 20) == WAIT_TIMEOUT) {
            PROCESS_MEMORY_COUNTERS memory{};
            GetProcessMemoryInfo(process.hProcess, &memory, sizeof memory);
            sample(ProcessSample{outputBytes.load(), CountHandles(process.dwProcessId),
                                 memory.PagefileUsage, process.hProcess});
        }
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    reader.join();
    errorReader.join();
    GetExitCodeProcess(process.hProcess, &result.exitCode);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    CloseHandle(readEnd);
    CloseHandle(errorReadEnd);
    return result;
}

HANDLE TokenWithoutTakeOwnership() {
    HANDLE own = nullptr;
    HANDLE restricted = nullptr;
    LUID_AND_ATTRIBUTES dropped{};
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &own) &&
        LookupPrivilegeValueW(nullptr, L"SeTakeOwnershipPrivilege", &dropped.Luid)) {
        CreateRestrictedToken(own, 0, 0, nullptr, 1, &dropped, 0, nullptr, &restricted);
    }
    CloseHandle(own);
    return restricted;
}

std::wstring WindowsPath(const std::string& path) {
    std::wstring windows = Widen(path);
    if (!windows.empty() && windows[0] == L'/') {
        windows = L"Z:" + windows;
        for (wchar_t& c : windows) {
            if (c == L'/') {
                c = L'\\';
            }
        }
    }
    return windows;
}

std::wstring Widen(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

} // namespace tkrtest
