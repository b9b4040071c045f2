#include "selftest/child_process.h"

#include "platform/unique.h"

#include <thread>

namespace tkr::selftest {

ChildRun RunChild(const std::wstring& program, const std::wstring& commandLine,
                  const std::function<void()>& poll) {
    ChildRun run;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    UniqueHandle readEnd;
    UniqueHandle writeEnd;
    if (!::CreatePipe(readEnd.put(), writeEnd.put(), &inherit, 0) ||
        !::SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0)) {
        run.startError = ::GetLastError();
        return run;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = writeEnd.get();
    startup.hStdError = writeEnd.get();
    PROCESS_INFORMATION started{};
    std::wstring line = commandLine;
    if (!::CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                          nullptr, nullptr, &startup, &started)) {
        run.startError = ::GetLastError();
        return run;
    }
    const UniqueHandle process(started.hProcess);
    const UniqueHandle thread(started.hThread);
    writeEnd.reset(); // the pipe ends when the child (and what it started) closes its end
    std::thread reader([&] {
        char buffer[65536];
        DWORD read = 0;
        while (::ReadFile(readEnd.get(), buffer, sizeof buffer, &read, nullptr) && read != 0) {
            run.output.append(buffer, read);
        }
    });
    while (::WaitForSingleObject(process.get(), poll ? 2 : INFINITE) == WAIT_TIMEOUT) {
        poll();
    }
    if (poll) {
        poll();
    }
    reader.join();
    ::GetExitCodeProcess(process.get(), &run.exitCode);
    return run;
}

} // namespace tkr::selftest
