// Scratch files for tests on a real file system.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>

namespace tkrtest {

// A fresh, empty directory for one test; its files are left for inspection.
inline std::wstring ScratchDirectory(const std::wstring& name) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    // Process ids repeat across runs in one prefix: take the first name not used yet.
    for (unsigned serial = 1;; ++serial) {
        const std::wstring dir = std::wstring(temp) + L"tkr-" + name + L"-" +
                                 std::to_wstring(GetCurrentProcessId()) + L"-" +
                                 std::to_wstring(serial);
        if (CreateDirectoryW(dir.c_str(), nullptr) || GetLastError() != ERROR_ALREADY_EXISTS) {
            return dir;
        }
    }
}

inline bool FileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline std::string ReadBytes(const std::wstring& path) {
    std::string bytes;
    if (FILE* file = _wfopen(path.c_str(), L"rb")) {
        char buffer[65536];
        for (size_t read; (read = std::fread(buffer, 1, sizeof buffer, file)) != 0;) {
            bytes.append(buffer, read);
        }
        std::fclose(file);
    }
    return bytes;
}

inline void WriteBytes(const std::wstring& path, const std::string& bytes) {
    if (FILE* file = _wfopen(path.c_str(), L"wb")) {
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::fclose(file);
    }
}

// UTF-16LE bytes of a text, as the log holds it.
inline std::string Utf16Bytes(const std::wstring& text) {
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

} // namespace tkrtest
