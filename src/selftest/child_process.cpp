#include "selftest/child_process.h"

#include "platform/unique.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace tkr::selftest {
namespace {

// The job of the child that runs now, for the console control handler.
std::atomic<HANDLE> g_running{nullptr};

// Ctrl+C, Ctrl+Break or the console closed: the child tool ends now, with the self-test, which
// the default handler then ends (the next self-test removes what it left).
BOOL WINAPI EndChildToo(DWORD) {
    if (const HANDLE job = g_running.load()) {
        ::TerminateJobObject(job, ERROR_CANCELLED);
    }
    return FALSE;
}

// A job whose processes end when its last handle closes: when the self-test ends, however.
UniqueHandle CreateKillingJob() {
    UniqueHandle job(::CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job && !::SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                          sizeof limits)) {
        job.reset();
    }
    return job;
}

} // namespace

ChildRun RunChild(const std::wstring& program, const std::wstring& commandLine,
                  const std::function<void()>& poll, DWORD timeLimitMs) {
    ChildRun run;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    UniqueHandle readEnd;
    UniqueHandle writeEnd;
    const UniqueHandle job = CreateKillingJob();
    if (!job || !::CreatePipe(readEnd.put(), writeEnd.put(), &inherit, 0) ||
        !::SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0)) {
        run.startError = ::GetLastError();
        return run;
    }
    static const bool handled = ::SetConsoleCtrlHandler(EndChildToo, TRUE) != FALSE;
    (void)handled;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = writeEnd.get();
    startup.hStdError = writeEnd.get();
    PROCESS_INFORMATION started{};
    std::wstring line = commandLine;
    // Started suspended, so that it runs only once it is in the job.
    if (!::CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE,
                          CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr, nullptr, &startup,
                          &started)) {
        run.startError = ::GetLastError();
        return run;
    }
    const UniqueHandle process(started.hProcess);
    const UniqueHandle thread(started.hThread);
    if (!::AssignProcessToJobObject(job.get(), process.get())) {
        run.startError = ::GetLastError();
        ::TerminateProcess(process.get(), ERROR_CANCELLED);
        return run;
    }
    g_running = job.get();
    ::ResumeThread(thread.get());
    writeEnd.reset(); // the pipe ends when the child (and what it started) closes its end
    std::thread reader([&] {
        char buffer[65536];
        DWORD read = 0;
        while (::ReadFile(readEnd.get(), buffer, sizeof buffer, &read, nullptr) && read != 0) {
            run.output.append(buffer, read);
        }
    });
    const ULONGLONG deadline = ::GetTickCount64() + timeLimitMs;
    for (;;) {
        const ULONGLONG now = ::GetTickCount64();
        const DWORD wait = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
        if (::WaitForSingleObject(process.get(), poll ? std::min<DWORD>(wait, 2) : wait) !=
            WAIT_TIMEOUT) {
            break;
        }
        if (::GetTickCount64() >= deadline) {
            run.timedOut = true;
            ::TerminateJobObject(job.get(), ERROR_TIMEOUT);
            ::WaitForSingleObject(process.get(), INFINITE);
            break;
        }
        if (poll) {
            poll();
        }
    }
    if (poll) {
        poll();
    }
    // Whatever the child started ends with it: the pipe's last writer is gone.
    ::TerminateJobObject(job.get(), ERROR_CANCELLED);
    g_running = nullptr;
    reader.join();
    ::GetExitCodeProcess(process.get(), &run.exitCode);
    return run;
}

} // namespace tkr::selftest
