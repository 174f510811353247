#include "upgrade/Download.h"

#include <windows.h>
#include <wininet.h>

#include <cstdio>

#include "upgrade/ProgressSteps.h"

namespace {

constexpr DWORD kReadSize = 1024;

// Owns one WinINet handle.
class InternetHandle {
public:
    explicit InternetHandle(HINTERNET h) : m_h(h) {}
    ~InternetHandle() {
        if (m_h) InternetCloseHandle(m_h);
    }
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;
    operator HINTERNET() const { return m_h; }

private:
    HINTERNET m_h;
};

// Owns a stdio file; Close() tells whether the buffered bytes reached it.
class OutputFile {
public:
    explicit OutputFile(const std::wstring& path) {
        if (_wfopen_s(&m_file, path.c_str(), L"wb") != 0) m_file = nullptr;
    }
    ~OutputFile() { Close(); }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    explicit operator bool() const { return m_file != nullptr; }
    bool Write(const char* data, DWORD size) { return std::fwrite(data, 1, size, m_file) == size; }
    bool Close() {
        std::FILE* file = m_file;
        m_file = nullptr;
        return file && std::fclose(file) == 0;
    }

private:
    std::FILE* m_file = nullptr;
};

// Reads one block of up to size bytes. InternetReadFile returns only when the
// whole request is filled or the data ends, which at a trickle of a byte a
// second takes many minutes while the shutdown waits for this thread; so we
// ask for no more than has arrived and look at the stop flag between pieces.
// A block still counts as one read for the progress, as a full 1024-byte read
// did.
bool ReadBlock(HINTERNET file, char* block, DWORD size, DWORD* got, const StopFlag& running) {
    *got = 0;
    while (*got < size) {
        if (!running.IsRunning()) return false;
        DWORD available = 0;
        if (!InternetQueryDataAvailable(file, &available, 0, 0)) return false;
        if (available == 0) break;  // the end of the data
        DWORD piece = 0;
        if (!InternetReadFile(file, block + *got, available < size - *got ? available : size - *got, &piece)) {
            return false;
        }
        if (piece == 0) break;
        *got += piece;
    }
    return true;
}

}  // namespace

bool DownloadFile(const std::wstring& url, const std::wstring& path, const StopFlag& running,
                  const std::function<void(std::uint32_t)>& onRead) {
    InternetHandle root(InternetOpenW(L"Marlowcast", INTERNET_OPEN_TYPE_PRECONFIG, L"", nullptr, 0));
    if (!root) return false;
    InternetHandle file(InternetOpenUrlW(root, url.c_str(), nullptr, 0, INTERNET_FLAG_RELOAD, 0));
    if (!file) return false;

    // A missing file or a server error has a body too; it must not be
    // installed as if it were the file.
    DWORD status = 0, statusSize = sizeof(status), index = 0;
    if (!HttpQueryInfoW(file, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &statusSize, &index) ||
        status != HTTP_STATUS_OK) {
        return false;
    }

    wchar_t lengthText[16] = {};
    DWORD lengthSize = sizeof(lengthText);
    index = 0;
    const bool hasLength = HttpQueryInfoW(file, HTTP_QUERY_CONTENT_LENGTH, lengthText, &lengthSize, &index) != FALSE;
    const std::uint32_t length = hasLength ? static_cast<std::uint32_t>(wcstoul(lengthText, nullptr, 10)) : 0;
    FileProgress progress(length);

    OutputFile out(path);
    if (!out) return false;

    char buffer[kReadSize];
    unsigned long long received = 0;
    while (running.IsRunning()) {
        DWORD got = 0;
        if (!ReadBlock(file, buffer, kReadSize, &got, running)) return false;
        if (got == 0) {
            // A response cut short is not the file.
            if (hasLength && received < length) return false;
            if (!out.Close()) return false;
            onRead(FileProgress::Done());
            return true;
        }
        if (!out.Write(buffer, got)) return false;
        received += got;
        onRead(static_cast<std::uint32_t>(progress.OnRead()));
    }
    return false;
}
