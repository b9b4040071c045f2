#include "selftest/tool_runs.h"

#include "platform/unique.h"
#include "report/run_log.h"
#include "selftest/child_process.h"
#include "selftest/registry_state.h"
#include "selftest/verdict.h"

#include <cstring>
#include <cwchar>

namespace tkr::selftest {
namespace {

struct FindTraits {
    using Type = HANDLE;
    static Type Empty() { return INVALID_HANDLE_VALUE; }
    static void Close(Type handle) { ::FindClose(handle); }
};

} // namespace

std::wstring FindFile(const std::wstring& folder, const std::wstring& pattern) {
    WIN32_FIND_DATAW found;
    const Unique<FindTraits> search(::FindFirstFileW(Join(folder, pattern).c_str(), &found));
    return search ? Join(folder, found.cFileName) : L"";
}

std::wstring Widen(const std::string& text) {
    std::wstring wide;
    for (char c : text) {
        if (c != '\r') {
            wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
        }
    }
    return wide;
}

std::wstring ResultOf(const std::wstring& output, const wchar_t* verb, const std::wstring& path) {
    const std::wstring announced = verb + (L" \"" + path) + L"\" ...\n";
    const size_t at = output.find(announced);
    if (at == std::wstring::npos) {
        return L"";
    }
    const size_t start = at + announced.size();
    return output.substr(start, output.find(L'\n', start) - start);
}

void LogWatch::Poll() {
    now_ = ::GetTickCount64();
    if (!file_) {
        const std::wstring log = FindFile(folder_, L"*.log");
        file_ = UniqueFile(
            log.empty() ? INVALID_HANDLE_VALUE
                        : ::CreateFileW(log.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, 0, nullptr));
    }
    char buffer[65536];
    DWORD read = 0;
    while (file_ && ::ReadFile(file_.get(), buffer, sizeof buffer, &read, nullptr) && read) {
        pending_.append(buffer, read);
    }
    constexpr std::wstring_view kFix = L"Message: Fix \"";
    size_t start = 0;
    for (size_t at = 0; at + 4 <= pending_.size(); at += 2) {
        if (pending_.compare(at, 4, std::string("\r\0\n\0", 4)) != 0) {
            continue;
        }
        std::wstring line((at - start) / 2, L'\0');
        std::memcpy(line.data(), pending_.data() + start, at - start);
        if (line.starts_with(kFix) && line.ends_with(L"\" ...")) {
            announced_.emplace_back(line.substr(kFix.size(), line.size() - kFix.size() - 5), now_);
        }
        start = at + 4;
        at += 2;
    }
    pending_.erase(0, start);
}

double LogWatch::Seconds(const std::wstring& path) const {
    for (size_t i = 0; i < announced_.size(); ++i) {
        if (announced_[i].first != path) {
            continue;
        }
        ULONGLONG end = now_;
        for (size_t j = i + 1; j < announced_.size(); ++j) {
            if (!announced_[j].first.starts_with(path + L"\\")) {
                end = announced_[j].second;
                break;
            }
        }
        return static_cast<double>(end - announced_[i].second) / 1000.0;
    }
    return -1;
}

std::wstring Runner::LogFolder(const std::wstring& name) const {
    return Join(folder_, name);
}

ToolRun Runner::Run(const std::wstring& name, const std::wstring& arguments,
                    const std::function<void()>& poll) {
    ToolRun run;
    run.logFolder = LogFolder(name);
    const std::wstring line =
        L"\"" + exe_ + L"\" " + arguments + L" -log \"" + run.logFolder + L"\"";
    const ChildRun child = RunChild(exe_, line, poll);
    run.exitCode = child.startError == ERROR_SUCCESS ? child.exitCode : MAXDWORD;
    run.timedOut = child.timedOut;
    if (child.timedOut) {
        report_.Check(L"the tool's run " + name + L" ends within " +
                          std::to_wstring(kChildTimeLimitMs / 60000) + L" minutes",
                      Failed(L"it was stopped then: " + line));
    }
    run.output = Widen(child.output);
    const UniqueFile file(::CreateFileW((run.logFolder + L".txt").c_str(), GENERIC_WRITE,
                                        FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                        nullptr));
    const std::string text =
        Utf8(L"> " + line + L"\r\nExit status: " + std::to_wstring(run.exitCode) +
             (child.startError ? L" (not started: error " + std::to_wstring(child.startError) + L")"
                               : L"") +
             L"\r\n\r\n") +
        child.output;
    DWORD written = 0;
    if (file) {
        ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }
    return run;
}

} // namespace tkr::selftest
