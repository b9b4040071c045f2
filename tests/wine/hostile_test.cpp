// Trees that other software and users may have written: deep, wide, oddly named, linked out of
// the tree, and logs that other processes hold or share.
#include "e2e.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <thread>

using namespace tkrtest;

namespace {

std::wstring LogText(const ToolRun& run) {
    return std::wstring(reinterpret_cast<const wchar_t*>(run.log.data()), run.log.size() / 2);
}

// The log's lines, split at CR LF; a torn line would show as one that fits no expected form.
std::vector<std::wstring> LogLines(const std::string& bytes) {
    const std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    std::vector<std::wstring> lines;
    size_t start = 0;
    for (size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2) {
        lines.push_back(text.substr(start, end - start));
    }
    EXPECT_EQ(start, text.size()) << "the log ends in the middle of a line";
    return lines;
}

bool IsWholeToolLine(const std::wstring& line) {
    static const std::vector<std::wstring> details = {
        L"Message: DONE",
        L"!ERROR!: ERROR OCCURED",
        L"Message: \tSuccessfully changed DACL permissions",
        L"Message: \tSuccessfully changed DACL owner",
        L"Warning: \tFirst SetNamedSecurityInfo access denide",
        L"!ERROR!: \tFirst SetNamedSecurityInfo call failed: 2"};
    if (std::find(details.begin(), details.end(), line) != details.end()) {
        return true;
    }
    return line.rfind(L"Message: Fix \"", 0) == 0 && line.size() > 20 &&
           line.compare(line.size() - 5, 5, L"\" ...") == 0;
}

TEST_F(ToolTest, AChainOf2000NestedKeysIsWalkedToTheBottom) {
    std::wstring path = L".rux";
    Seed(path);
    std::vector<std::wstring> chain = {path};
    for (int depth = 0; depth < 2000; ++depth) {
        path += L"\\d";
        Seed(path);
        chain.push_back(path);
    }
    const ToolRun run = Run();
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(Count(run.console, "\r\nDONE\r\n"), chain.size());
    EXPECT_NE(run.console.find("Fix \"" + Narrow(path) + "\" ...\r\nDONE\r\nFix \".mik\""),
              std::string::npos);
    for (const std::wstring& key : chain) {
        ASSERT_TRUE(IsRepairedSddl(KeySddl(key), 2)) << key.size();
    }
}

TEST_F(ToolTest, AKeyWith20000SubkeysHasEveryOneRepaired) {
    Seed(L".mik");
    for (int i = 0; i < 20000; ++i) {
        Seed(L".mik\\s" + std::to_wstring(i));
    }
    const ToolRun run = Run();
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(Count(run.console, "\r\nDONE\r\n"), 20001u);
    EXPECT_EQ(LogLines(run.log).size(), 20001u * 4 + 14 * 3);
    for (int i = 0; i < 20000; ++i) {
        ASSERT_TRUE(IsRepairedSddl(KeySddl(L".mik\\s" + std::to_wstring(i)), 2)) << i;
    }
}

TEST_F(ToolTest, OddNamesArePrintedAndLoggedWholeWithControlCharactersEscaped) {
    struct Name {
        std::wstring name;
        std::wstring shown;  // in the log; empty: as the name is
        std::string console; // redirected; empty: as the name is
    };
    const std::vector<Name> names = {
        {std::wstring(255, L'x'), L"", ""},
        {L"%s%n%u%%", L"", ""},
        {L"%ls%ls%ls", L"", ""},
        {L"\xD83D\xDE00 smile \xD834\xDD1E", L"", "? smile ?"},
        {L"\x00DCn\x00EF\x0063\x00F6 \x03A9 \x65E5\x672C", L"",
         "\xDCn\xEF"
         "c\xF6 ? ??"},
        {L" blank ", L"", ""},
        {L"dots...", L"", ""},
        {L"..", L"", ""},
        {L"a.b.c", L"", ""},
        // Names that would forge lines or drive a terminal.
        {L"x\" ...\r\nDONE\r\nFix \"fake", L"x\" ...^M^JDONE^M^JFix \"fake", ""},
        {L"e\x1b[2Jz\x7f", L"e^[[2Jz^?", ""}};
    Seed(L".nol");
    for (const Name& name : names) {
        Seed(L".nol\\" + name.name);
    }
    const ToolRun run = Run();
    EXPECT_EQ(run.exitCode, 0u);
    const std::wstring log = LogText(run);
    for (const Name& name : names) {
        const std::wstring key = L".nol\\" + name.name;
        const std::wstring shown = L".nol\\" + (name.shown.empty() ? name.name : name.shown);
        EXPECT_NE(log.find(L"Message: Fix \"" + shown +
                           L"\" ...\r\nMessage: \tSuccessfully changed "
                           L"DACL permissions\r\nMessage: \tSuccessfully changed DACL owner\r\n"
                           L"Message: DONE\r\n"),
                  std::wstring::npos)
            << Narrow(key);
        const std::string console = name.console.empty() ? Narrow(shown) : ".nol\\" + name.console;
        EXPECT_NE(run.console.find("Fix \"" + console + "\" ...\r\nDONE\r\n"), std::string::npos)
            << console;
        EXPECT_TRUE(IsRepairedSddl(KeySddl(key), 2)) << Narrow(key);
    }
    // One console line per announcement and result, and every log line labelled.
    EXPECT_EQ(Count(run.console, "\r\nDONE\r\n"), names.size() + 1);
    for (const std::wstring& line : LogLines(run.log)) {
        EXPECT_TRUE(line.rfind(L"Message: ", 0) == 0 || line.rfind(L"!ERROR!: ", 0) == 0)
            << Narrow(line);
    }
}

TEST_F(ToolTest, LinksAreNeitherRepairedNorFollowed) {
    const std::wstring outside = L"tkr-outside-" + std::to_wstring(GetTickCount());
    const wchar_t* outsideSddl = L"O:SYD:P(A;;KA;;;BA)(A;;KR;;;BU)";
    ASSERT_EQ(SeedKey(outside, outsideSddl), ERROR_SUCCESS);
    ASSERT_EQ(SeedKey(outside + L"\\inner", outsideSddl), ERROR_SUCCESS);
    const std::wstring before = KeySddl(outside);
    const std::wstring innerBefore = KeySddl(outside + L"\\inner");

    Seed(L".gli");
    ASSERT_EQ(SeedLink(L".gli\\escape", outside), ERROR_SUCCESS);
    // A link whose own DACL keeps administrators from reading it is still known for one, and a
    // locked key that is no link is still tried and reported.
    ASSERT_EQ(SeedLink(L".gli\\locked", outside, kLockedSddl), ERROR_SUCCESS);
    Seed(L".gli\\lockedkey", kLockedSddl);
    ASSERT_EQ(SeedLink(L".gli\\loop", L".gli"), ERROR_SUCCESS);
    Seed(L".gli\\plain");
    ASSERT_EQ(SeedLink(L".tov", outside), ERROR_SUCCESS);

    const ToolRun run = Run();
    EXPECT_EQ(run.exitCode, 0u);
    Expected expected;
    expected.Repaired(L".gli");
    expected.Link(L".gli\\escape");
    expected.Link(L".gli\\locked");
    expected.Locked(L".gli\\lockedkey");
    expected.Link(L".gli\\loop");
    expected.Repaired(L".gli\\plain");
    EXPECT_NE(run.console.find(expected.console), std::string::npos) << run.console;
    EXPECT_NE(run.console.find("Fix \".tov\" ...\r\nSKIPPED: registry link, not followed\r\n"
                               "Fix \".rux\""),
              std::string::npos);
    const std::wstring log = LogText(run);
    EXPECT_NE(log.find(expected.log), std::wstring::npos);
    EXPECT_EQ(KeySddl(outside), before);
    EXPECT_EQ(KeySddl(outside + L"\\inner"), innerBefore);
    EXPECT_TRUE(IsRepairedSddl(KeySddl(L".gli\\plain"), 2));
}

TEST_F(ToolTest, LinesMeetingAnotherProcessHoldingTheLogAreDroppedAndTheRunGoesOn) {
    ASSERT_EQ(SeedTree(L".rux", 1500), ERROR_SUCCESS);
    HANDLE holder = INVALID_HANDLE_VALUE;
    int heldSamples = 0;
    bool released = false;
    const ToolRun run = Run(L"", [&](const ProcessSample&) {
        if (released) {
            return;
        }
        if (holder == INVALID_HANDLE_VALUE) {
            WIN32_FIND_DATAW found;
            const HANDLE search = FindFirstFileW((dir + L"\\*.log").c_str(), &found);
            if (search != INVALID_HANDLE_VALUE) {
                FindClose(search);
                // Readers that deny writers make the tool's opens fail.
                holder = CreateFileW((dir + L"\\" + found.cFileName).c_str(), GENERIC_READ,
                                     FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
            }
        } else if (++heldSamples == 5) {
            CloseHandle(holder);
            released = true;
        }
    });
    ASSERT_TRUE(released) << "the run ended before the log could be held";
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(Count(run.console, "\r\nDONE\r\n"), 1500u);
    const std::vector<std::wstring> lines = LogLines(run.log);
    EXPECT_LT(lines.size(), 1500u * 4 + 14 * 3);
    for (const std::wstring& line : lines) {
        ASSERT_TRUE(IsWholeToolLine(line)) << Narrow(line);
    }
    EXPECT_EQ(lines.back(), L"!ERROR!: ERROR OCCURED"); // .hib, the last table key
}

TEST_F(ToolTest, ALogFolderThatCannotBeCreatedLeavesConsoleOutputOnly) {
    Seed(L".lud");
    WriteBytes(dir + L"\\a file", "not a folder");
    const ToolRun run = Run(L"-log \"" + dir + L"\\a file\\logs\"");
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_NE(run.console.find("Fix \".lud\" ...\r\nDONE\r\n"), std::string::npos);
    EXPECT_EQ(run.console.substr(run.console.size() - 23), "Press a key to close...");
    EXPECT_TRUE(run.logPath.empty());
    EXPECT_TRUE(IsRepairedSddl(KeySddl(L".lud"), 2));
    // Keys changed with no undo data: an unattended run says so and fails.
    const ToolRun quiet = Run(L"-q -log \"" + dir + L"\\a file\\logs\"");
    EXPECT_EQ(quiet.exitCode, 1u);
    EXPECT_NE(quiet.console.find("Summary: 1 key repaired, 0 failed, 0 registry links skipped, "
                                 "14 keys not present, 1 not saved for undo\r\n"),
              std::string::npos);
}

TEST_F(ToolTest, TwoProcessesAppendingToOneLogNeverTearALine) {
    ASSERT_FALSE(LogWriterPath.empty());
    const std::wstring log = dir + L"\\shared.log";
    std::vector<PROCESS_INFORMATION> writers;
    for (const wchar_t* tag : {L"A", L"B"}) {
        std::wstring line = L"log_writer \"" + log + L"\" " + tag + L" 3000";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        ASSERT_TRUE(CreateProcessW(LogWriterPath.c_str(), line.data(), nullptr, nullptr, FALSE,
                                   DETACHED_PROCESS, nullptr, nullptr, &startup, &process));
        writers.push_back(process);
    }
    for (PROCESS_INFORMATION& process : writers) {
        WaitForSingleObject(process.hProcess, INFINITE);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    std::map<wchar_t, long> last = {{L'A', -1}, {L'B', -1}};
    const std::vector<std::wstring> lines = LogLines(ReadBytes(log));
    // Lines whose open met the other writer's are dropped; those written are whole.
    EXPECT_LE(lines.size(), 6000u);
    for (const std::wstring& line : lines) {
        wchar_t tag = 0;
        unsigned number = 0;
        ASSERT_EQ(swscanf(line.c_str(), L"Message: %lc line %u", &tag, &number), 2) << Narrow(line);
        // The whole line, so that nothing torn or mixed passes.
        ASSERT_EQ(line, L"Message: " + std::wstring(1, tag) + L" line " + std::to_wstring(number) +
                            L" of a run that shares the log");
        ASSERT_GT(static_cast<long>(number), last[tag]) << "lines of one writer out of order";
        last[tag] = number;
    }
    EXPECT_GE(last[L'A'], 0);
    EXPECT_GE(last[L'B'], 0);
}

TEST_F(ToolTest, HandlesAndMemoryDoNotGrowWithTheNumberOfKeys) {
    Seed(L".ooq");
    for (int i = 0; i < 10000; ++i) {
        Seed(L".ooq\\k" + std::to_wstring(i));
    }
    std::vector<ProcessSample> samples;
    const ToolRun run = Run(L"", [&](const ProcessSample& s) { samples.push_back(s); });
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(Count(run.console, "\r\nDONE\r\n"), 10001u);

    // Early: from a twentieth to a tenth of the output written; late: from half of it on.
    const size_t total = run.console.size();
    ProcessSample early{0, -1, 0, nullptr};
    ProcessSample late{0, -1, 0, nullptr};
    for (const ProcessSample& s : samples) {
        const bool isEarly = s.outputBytes >= total / 20 && s.outputBytes < total / 10;
        const bool isLate = s.outputBytes >= total / 2;
        if (isEarly || isLate) {
            ProcessSample& phase = isEarly ? early : late;
            phase.handles = std::max(phase.handles, s.handles);
            phase.pagefileBytes = std::max(phase.pagefileBytes, s.pagefileBytes);
        }
    }
    ASSERT_GE(early.handles, 0) << "no sample early in the run";
    ASSERT_GE(late.handles, 0) << "no sample late in the run";
    std::printf("handles %d -> %d, private bytes %u -> %u\n", early.handles, late.handles,
                static_cast<unsigned>(early.pagefileBytes),
                static_cast<unsigned>(late.pagefileBytes));
    EXPECT_LE(late.handles, early.handles + 4);
    EXPECT_LE(late.pagefileBytes, early.pagefileBytes + 256 * 1024);
}

TEST_F(ToolTest, KeysPastTheLongestPassablePathAreReportedNotRepairedAndTheRunEnds) {
    // ".qk4" and 127 levels of a backslash and 255 units make 32,516 units; a last level of 236
    // units reaches the longest passable path (32,753), one of 237 passes it.
    Seed(L".qk4");
    const std::vector<std::wstring> chain(127, std::wstring(255, L'n'));
    ASSERT_EQ(SeedChain(L".qk4", chain), ERROR_SUCCESS);
    std::wstring deep = L".qk4";
    for (const std::wstring& name : chain) {
        deep += L"\\" + name;
    }
    const std::wstring atLimit = deep + L"\\" + std::wstring(236, L'a');
    const std::wstring pastLimit = deep + L"\\" + std::wstring(237, L'b');
    ASSERT_EQ(atLimit.size(), 32753u);
    ASSERT_EQ(SeedChain(deep, {std::wstring(236, L'a'), L"c"}), ERROR_SUCCESS);
    ASSERT_EQ(SeedChain(deep, {std::wstring(237, L'b')}), ERROR_SUCCESS);
    const std::wstring pastBefore = KeySddl(pastLimit);

    const ToolRun run = Run(L"-q");
    EXPECT_EQ(run.exitCode, 1u); // two keys could not be repaired
    const std::string tooLong = "SKIPPED: key path too long\r\n";
    EXPECT_NE(run.console.find("Fix \"" + Narrow(atLimit) + "\" ...\r\nDONE\r\nFix \"" +
                               Narrow(atLimit) + "\\c\" ...\r\n" + tooLong + "Fix \"" +
                               Narrow(pastLimit) + "\" ...\r\n" + tooLong + "Fix \".zor\""),
              std::string::npos);
    EXPECT_EQ(Count(run.console, "\r\nDONE\r\n"), 129u);
    EXPECT_TRUE(IsRepairedSddl(KeySddl(atLimit), 2));
    EXPECT_EQ(KeySddl(pastLimit), pastBefore);
    EXPECT_NE(LogText(run).find(L"Warning: " + Widen(tooLong)), std::wstring::npos);
}

TEST_F(ToolTest, EveryKeyIsVisitedExactlyOnceWhileASiblingComesAndGoes) {
    ASSERT_EQ(SeedTree(L".qk4", 5000), ERROR_SUCCESS); // exactly 5,000 keys, .qk4 included
    // Another program creates and deletes a subkey that sorts first, as fast as it can.
    std::atomic<bool> stop{false};
    std::thread churn([&] {
        HKEY parent = nullptr;
        RegOpenKeyExW(HKEY_CLASSES_ROOT, L".qk4", 0, KEY_ALL_ACCESS, &parent);
        while (!stop) {
            HKEY child = nullptr;
            if (RegCreateKeyExW(parent, L"!churn", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child,
                                nullptr) == ERROR_SUCCESS) {
                RegCloseKey(child);
            }
            RegDeleteKeyW(parent, L"!churn");
        }
        RegCloseKey(parent);
    });
    const ToolRun run = Run(L"-q");
    stop = true;
    churn.join();

    std::map<std::string, int> visits;
    for (size_t at = 0; (at = run.console.find("Fix \".qk4", at)) != std::string::npos; ++at) {
        ++visits[run.console.substr(at + 5, run.console.find("\" ...", at) - at - 5)];
    }
    visits.erase(".qk4\\!churn");
    EXPECT_EQ(visits.size(), 5000u);
    for (const auto& [key, count] : visits) {
        ASSERT_EQ(count, 1) << key;
    }
}

TEST_F(ToolTest, ALogOrUndoNameHardLinkedToAnotherFileIsNeverWrittenThrough) {
    Seed(L".qk4");
    const std::wstring victim = dir + L"\\victim.txt";
    WriteBytes(victim, "precious");
    // Both names are predictable to the second: every name of the coming seconds is a link.
    const __time64_t now = _time64(nullptr);
    for (const std::wstring& stamp : TimeStamps(now, now + 30)) {
        for (const wchar_t* suffix : {L".log", L"_undo.txt"}) {
            const std::wstring name = dir + L"\\typekey-repair" + stamp + suffix;
            ASSERT_TRUE(CreateHardLinkW(name.c_str(), victim.c_str(), nullptr));
        }
    }
    const ProcessResult process = RunProcess(exe, L"\"" + exe + L"\" -q");
    EXPECT_EQ(process.exitCode, 0u);
    EXPECT_EQ(process.output.rfind("Fix \".qk4\" ...\r\nDONE\r\n", 0), 0u);
    EXPECT_EQ(ReadBytes(victim), "precious");
    EXPECT_TRUE(IsRepairedSddl(KeySddl(L".qk4"), 2));
}

} // namespace
