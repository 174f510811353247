// The upgrade worker, run on the upgrade thread: download every entry from
// the upgrade server, wait until Marlowcast has exited, install every entry.
// It never waits for the UI thread (the shutdown waits for it there): the
// label is posted and the bars only store their values and invalidate.
#include <windows.h>
#include <wininet.h>
#include <strsafe.h>

#include <cstdio>
#include <string>

#include "app/Globals.h"
#include "package/UibPackage.h"
#include "supervise/Supervise.h"
#include "ui/UpgradeWnd.h"
#include "upgrade/ProgressSteps.h"
#include "upgrade/UrlName.h"

namespace {

constexpr size_t kPathSize = 511;        // paths hold at most 510 characters
constexpr DWORD kInstallDirSize = 320;   // capacity the installation folder is read with
constexpr size_t kUrlSize = 1021;        // URLs hold at most 1020 characters
constexpr DWORD kReadSize = 1024;
constexpr DWORD kExitPollMs = 50;
constexpr wchar_t kPackageSuffix[] = L".uib";
constexpr wchar_t kSideSuffix[] = L".~new";

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

// Wide text to the ANSI code page, refusing characters the code page cannot
// hold: a "best fit" substitute would name another file.
bool ToAnsi(const std::wstring& text, std::string* out, int limit) {
    if (text.empty()) {
        out->clear();
        return true;
    }
    BOOL lossy = FALSE;
    int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.c_str(), -1, nullptr, 0, nullptr, &lossy);
    if (n <= 0 || n > limit || lossy) return false;
    out->assign(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.c_str(), -1, &(*out)[0], n, nullptr, nullptr);
    out->resize(static_cast<size_t>(n - 1));
    return true;
}

// A path joined from parts, failing when it would not fit.
bool JoinPath(std::wstring* out, const wchar_t* fmt, const wchar_t* a, const wchar_t* b) {
    wchar_t buf[kPathSize + 1] = {};
    if (FAILED(StringCchPrintfW(buf, kPathSize, fmt, a, b))) return false;
    *out = buf;
    return true;
}

bool EndsWith(const std::wstring& s, const wchar_t* suffix) {
    size_t n = wcslen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

// Copies a file over the target through a side file, so that a failed copy
// never leaves a half-written target and an old target stays intact.
bool ReplaceByCopy(const std::wstring& source, const std::wstring& target) {
    // Windows refuses to replace a read-only file, as a copy over it would
    // fail; some file systems let a rename replace it all the same, so the
    // rule is kept here rather than left to the platform.
    DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) return false;
    std::wstring side = target + kSideSuffix;
    if (!CopyFileW(source.c_str(), side.c_str(), FALSE)) {
        DeleteFileW(side.c_str());
        return false;
    }
    if (!MoveFileExW(side.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileW(side.c_str());
        return false;
    }
    return true;
}

// Reads one block of up to size bytes. InternetReadFile returns only when the
// whole request is filled or the data ends, which at a trickle of a byte a
// second takes many minutes while the shutdown waits for this thread; so we
// ask for no more than has arrived and look at the running flag between
// pieces. A block still counts as one read for the progress, as a full
// 1024-byte read did.
bool ReadBlock(HINTERNET file, char* block, DWORD size, DWORD* got) {
    *got = 0;
    while (*got < size) {
        if (!g_bRunning) return false;
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

std::wstring CUpgradeWnd::GetFileNamePart(const std::wstring& entry) {
    size_t slash = entry.rfind(L'\\');
    return slash == std::wstring::npos ? entry : entry.substr(slash + 1);
}

BOOL CUpgradeWnd::DownloadFile(const std::wstring& namePart) {
    // The name goes into the URL percent-encoded where it needs to be.
    std::string nameAnsi;
    if (!ToAnsi(namePart, &nameAnsi, static_cast<int>(kPathSize))) return FALSE;
    std::string encoded = EncodeUrlNamePart(nameAnsi);
    std::wstring url = std::wstring(QUILLSTONE_UPGRADE_URL) + L"/upgrade/" + std::wstring(encoded.begin(), encoded.end());
    if (url.size() >= kUrlSize) return FALSE;

    InternetHandle root(InternetOpenW(L"Marlowcast", INTERNET_OPEN_TYPE_PRECONFIG, L"", nullptr, 0));
    if (!root) return FALSE;
    InternetHandle file(InternetOpenUrlW(root, url.c_str(), nullptr, 0, INTERNET_FLAG_RELOAD, 0));
    if (!file) return FALSE;

    // A missing file or a server error has a body too; it must not be
    // installed as if it were the file.
    DWORD status = 0, statusSize = sizeof(status), index = 0;
    if (!HttpQueryInfoW(file, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &statusSize, &index) ||
        status != HTTP_STATUS_OK) {
        return FALSE;
    }

    wchar_t lengthText[16] = {};
    DWORD lengthSize = sizeof(lengthText);
    index = 0;
    bool hasLength = HttpQueryInfoW(file, HTTP_QUERY_CONTENT_LENGTH, lengthText, &lengthSize, &index) != FALSE;
    std::uint32_t length = hasLength ? static_cast<std::uint32_t>(wcstoul(lengthText, nullptr, 10)) : 0;
    FileProgress progress(length);

    std::wstring tempFile;
    if (!JoinPath(&tempFile, L"%s\\%s.tmp", m_szTempDir, namePart.c_str())) return FALSE;
    FILE* out = nullptr;
    if (_wfopen_s(&out, tempFile.c_str(), L"wb") != 0 || !out) return FALSE;

    char buffer[kReadSize];
    unsigned long long received = 0;
    BOOL result = FALSE;
    while (g_bRunning) {
        DWORD got = 0;
        if (!ReadBlock(file, buffer, kReadSize, &got)) break;
        if (got == 0) {
            // A response cut short is not the file.
            result = !hasLength || received >= length;
            if (result) m_fileProgress.SetPos(FileProgress::Done());
            break;
        }
        if (fwrite(buffer, 1, got, out) != got) break;
        received += got;
        m_fileProgress.SetPos(static_cast<std::uint32_t>(progress.OnRead()));
    }
    if (fclose(out) != 0) result = FALSE;
    return result;
}

BOOL CUpgradeWnd::RunUpgrade() {
    // Every download path is built from the temporary folder.
    if (m_nFiles < 1 || !HasTempDir()) return FALSE;
    OverallProgress total(m_nFiles);

    for (int i = 0; i < m_nFiles; ++i) {
        if (!g_bRunning) return FALSE;
        PostFileLabel(m_arrFiles[i].c_str());
        if (!DownloadFile(GetFileNamePart(m_arrFiles[i]))) return FALSE;
        // SetPos invalidates; repainting at once would wait for the UI thread.
        m_totalProgress.SetPos(static_cast<std::uint32_t>(total.OnDownloaded()));
    }

    wchar_t installDir[kInstallDirSize] = {};
    DWORD len = GetCurrentDirectoryW(kInstallDirSize, installDir);
    if (len == 0 || len >= kInstallDirSize) return FALSE;  // no installation folder is known

    // Files are replaced only once Marlowcast has exited by itself.
    while (IsMarlowcastRunning() && g_bRunning) Sleep(kExitPollMs);

    for (int i = 0; i < m_nFiles; ++i) {
        if (!g_bRunning) return FALSE;
        const std::wstring& entry = m_arrFiles[i];
        std::wstring name = GetFileNamePart(entry);
        if (name.size() != entry.size()) {
            // Only the last folder level is made; a deeper missing level
            // makes the installation fail next.
            std::wstring folder;
            if (!JoinPath(&folder, L"%s\\%s", installDir, entry.substr(0, entry.size() - name.size() - 1).c_str())) {
                return FALSE;
            }
            WIN32_FIND_DATAW found;
            HANDLE h = FindFirstFileW(folder.c_str(), &found);
            if (h == INVALID_HANDLE_VALUE) {
                CreateDirectoryW(folder.c_str(), nullptr);
            } else {
                FindClose(h);
            }
        }

        std::wstring source, target;
        if (!JoinPath(&source, L"%s\\%s.tmp", m_szTempDir, name.c_str())) return FALSE;
        if (EndsWith(entry, kPackageSuffix)) {
            std::wstring unpacked = entry.substr(0, entry.size() - wcslen(kPackageSuffix));
            if (!JoinPath(&target, L"%s\\%s", installDir, unpacked.c_str())) return FALSE;
            std::string sourceAnsi, targetAnsi;
            if (!ToAnsi(source, &sourceAnsi, static_cast<int>(kPathSize)) ||
                !ToAnsi(target, &targetAnsi, static_cast<int>(kPathSize))) {
                return FALSE;
            }
            if (!DecodeUibPackage(sourceAnsi.c_str(), targetAnsi.c_str())) return FALSE;
        } else {
            if (!JoinPath(&target, L"%s\\%s", installDir, entry.c_str())) return FALSE;
            if (!ReplaceByCopy(source, target)) return FALSE;
        }
        m_totalProgress.SetPos(static_cast<std::uint32_t>(total.OnInstalled()));
    }
    m_totalProgress.SetPos(OverallProgress::Done());
    return TRUE;
}
