#include "install/ReleaseRecord.h"

#include <windows.h>
#include <sddl.h>

#include "base/AnsiText.h"
#include "base/Handles.h"

namespace {

constexpr wchar_t kKeysVersionValue[] = L"Upgrade Keys Version";
constexpr wchar_t kSigningTimeValue[] = L"Upgrade Latest Signing Time";

std::wstring InstalledValue(std::uint64_t keysVersion) {
    return L"Upgrade Release (keys version " + std::to_wstring(keysVersion) + L")";
}
std::wstring RolledBackValue(std::uint64_t keysVersion) {
    return L"Upgrade Rolled Back (keys version " + std::to_wstring(keysVersion) + L")";
}

// The registry returns its error instead of setting it.
bool Report(LSTATUS status) {
    SetLastError(static_cast<DWORD>(status));
    return status == ERROR_SUCCESS;
}

// One 64-bit record: an absent value (or key) reads as 0 with `found` false;
// a value of another type or size is no record and fails, as does any other
// error of the registry.
bool ReadRecord(const std::wstring& key, const std::wstring& name, std::uint64_t* value, bool* found) {
    std::uint64_t read = 0;
    DWORD size = sizeof read;
    const LSTATUS status =
        RegGetValueW(HKEY_CURRENT_USER, key.c_str(), name.c_str(), RRF_RT_REG_QWORD, nullptr, &read, &size);
    *found = status == ERROR_SUCCESS;
    if (status == ERROR_FILE_NOT_FOUND) {
        *value = 0;
        return true;
    }
    if (status == ERROR_SUCCESS) *value = read;
    return Report(status);
}

class RegistryKey {
public:
    RegistryKey() = default;
    ~RegistryKey() {
        if (m_key) RegCloseKey(m_key);
    }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    HKEY* Put() { return &m_key; }
    HKEY Get() const { return m_key; }

private:
    HKEY m_key = nullptr;
};

// Written and flushed: RegSetValueExW alone leaves the value in memory for
// the registry's lazy writer, which a power cut in the next seconds beats.
bool WriteRecord(const std::wstring& key, const std::wstring& name, std::uint64_t value) {
    RegistryKey opened;
    LSTATUS status = RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                                     nullptr, opened.Put(), nullptr);
    if (status == ERROR_SUCCESS) {
        status = RegSetValueExW(opened.Get(), name.c_str(), 0, REG_QWORD, reinterpret_cast<const BYTE*>(&value),
                                sizeof value);
    }
    if (status == ERROR_SUCCESS) status = RegFlushKey(opened.Get());
    return Report(status);
}

// The records are shared by every Quillstone of this user: two logons (two
// sessions) may check and record at the same moment. A mutex in the global
// namespace, named for the user, makes each read-compare-write one step, so
// that a record can only rise.
class RecordLock {
public:
    RecordLock() {
        const std::wstring user = UserSid();
        if (user.empty()) return;
        m_mutex.Reset(CreateMutexW(nullptr, FALSE, (L"Global\\Quillstone release records " + user).c_str()));
        if (!m_mutex) return;
        // An abandoned mutex is ours: each value is written whole, and what
        // the holder left is read again under the lock.
        const DWORD waited = WaitForSingleObject(m_mutex.Get(), kLockWaitMs);
        m_held = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
        if (!m_held) SetLastError(waited == WAIT_TIMEOUT ? ERROR_TIMEOUT : GetLastError());
    }
    ~RecordLock() {
        if (m_held) ReleaseMutex(m_mutex.Get());
    }
    RecordLock(const RecordLock&) = delete;
    RecordLock& operator=(const RecordLock&) = delete;
    explicit operator bool() const { return m_held; }

private:
    static constexpr DWORD kLockWaitMs = 10000;  // a record takes milliseconds

    static std::wstring UserSid() {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return L"";
        const UniqueHandle owned(token);
        union {
            TOKEN_USER user;
            BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
        } info;
        DWORD size = 0;
        wchar_t* text = nullptr;
        if (!GetTokenInformation(token, TokenUser, &info, sizeof info, &size) ||
            !ConvertSidToStringSidW(info.user.User.Sid, &text)) {
            return L"";
        }
        std::wstring sid = text;
        LocalFree(text);
        return sid;
    }

    UniqueHandle m_mutex;
    bool m_held = false;
};

// Writes `value` unless the record is that high already; `recorded` gets
// what the record holds afterwards, which is higher than `value` when another
// process got there first.
bool RaiseRecord(const std::wstring& key, const std::wstring& name, std::uint64_t value, std::uint64_t* recorded) {
    const RecordLock lock;
    if (!lock) return false;
    bool found = false;
    if (!ReadRecord(key, name, recorded, &found)) return false;
    if (found && *recorded >= value) return true;
    *recorded = value;
    return WriteRecord(key, name, value);
}

}  // namespace

bool ReadAcceptedKeysVersion(const std::wstring& key, std::uint64_t* version) {
    bool found = false;
    return ReadRecord(key, kKeysVersionValue, version, &found);
}

bool RecordAcceptedKeysVersion(const std::wstring& key, std::uint64_t version, std::uint64_t* recorded) {
    std::uint64_t now = 0;
    return RaiseRecord(key, kKeysVersionValue, version, recorded ? recorded : &now);
}

bool ReadLatestSigningTime(const std::wstring& key, std::int64_t* seconds) {
    bool found = false;
    std::uint64_t value = 0;
    if (!ReadRecord(key, kSigningTimeValue, &value, &found)) return false;
    if (value > static_cast<std::uint64_t>(INT64_MAX)) return Report(ERROR_INVALID_DATA);
    *seconds = static_cast<std::int64_t>(value);
    return true;
}

bool RecordSigningTime(const std::wstring& key, std::int64_t seconds) {
    std::uint64_t recorded = 0;
    return seconds <= 0 || RaiseRecord(key, kSigningTimeValue, static_cast<std::uint64_t>(seconds), &recorded);
}

bool ReadReleaseRecord(const std::wstring& key, std::uint64_t keysVersion, ReleaseRecord* record) {
    bool found = false;
    return ReadRecord(key, InstalledValue(keysVersion), &record->installed, &found) &&
           ReadRecord(key, RolledBackValue(keysVersion), &record->rolledBack, &record->anyRolledBack);
}

bool RecordInstalledRelease(const std::wstring& key, std::uint64_t keysVersion, std::uint64_t release,
                            std::uint64_t* recorded) {
    std::uint64_t now = 0;
    return RaiseRecord(key, InstalledValue(keysVersion), release, recorded ? recorded : &now);
}

bool RecordRolledBackRelease(const std::wstring& key, std::uint64_t keysVersion, std::uint64_t release) {
    std::uint64_t recorded = 0;
    return RaiseRecord(key, RolledBackValue(keysVersion), release, &recorded);
}

std::wstring RootRecordKey(const std::wstring& key, const std::string& root) {
    return key + L"\\Upgrade records\\Root " + FromUtf8(root);
}

std::string SignedReleaseName(const std::string& root, std::uint64_t keysVersion, std::uint64_t release) {
    return "signed " + root + " " + std::to_string(keysVersion) + " " + std::to_string(release);
}

namespace {

constexpr char kFilesPrefix[] = "files ";

// 1 to 20 digits at `at` that fit 64 bits, up to `end` (a space, or the end
// of the name); `at` is moved past them.
bool ReadNumber(const std::string& name, std::size_t* at, char end, std::uint64_t* value) {
    const std::size_t start = *at;
    std::uint64_t number = 0;
    for (; *at < name.size() && name[*at] >= '0' && name[*at] <= '9'; ++*at) {
        const std::uint64_t digit = static_cast<std::uint64_t>(name[*at] - '0');
        if (number > (UINT64_MAX - digit) / 10) return false;  // past 2^64-1: no number of ours
        number = number * 10 + digit;
    }
    if (*at == start || *at - start > 20 || (end ? *at >= name.size() || name[*at] != end : *at != name.size())) {
        return false;
    }
    *value = number;
    ++*at;
    return true;
}

constexpr std::size_t kFingerprintSize = 16;

bool ReadSigned(const std::string& name, std::string* root, std::uint64_t* keysVersion, std::uint64_t* release) {
    static const char kSigned[] = "signed ";
    std::size_t at = sizeof kSigned - 1 + kFingerprintSize;
    if (name.compare(0, sizeof kSigned - 1, kSigned) != 0 || name.size() <= at || name[at] != ' ') return false;
    *root = name.substr(sizeof kSigned - 1, kFingerprintSize);
    ++at;
    return root->find_first_not_of("0123456789abcdef") == std::string::npos &&
           ReadNumber(name, &at, ' ', keysVersion) && ReadNumber(name, &at, 0, release);
}

bool IsFiles(const std::string& name) { return name.compare(0, sizeof kFilesPrefix - 1, kFilesPrefix) == 0; }

std::wstring FilesValue(const std::string& name) {
    return L"Upgrade Rolled Back Files " + FromUtf8(name.substr(sizeof kFilesPrefix - 1));
}

}  // namespace

std::wstring DescribeRelease(const std::string& name) {
    std::string root;
    std::uint64_t keysVersion = 0, release = 0;
    if (ReadSigned(name, &root, &keysVersion, &release)) {
        return L"release " + std::to_wstring(release) + L" (keys version " + std::to_wstring(keysVersion) + L")";
    }
    if (IsFiles(name)) return L"the release of files " + FromUtf8(name.substr(sizeof kFilesPrefix - 1, 16));
    return name.empty() ? L"the release installed last" : FromUtf8(name);
}

bool RecordRefusedRelease(const std::wstring& key, const std::string& name) {
    std::string root;
    std::uint64_t keysVersion = 0, release = 0;
    if (ReadSigned(name, &root, &keysVersion, &release)) {
        return RecordRolledBackRelease(RootRecordKey(key, root), keysVersion, release);
    }
    if (IsFiles(name)) return WriteRecord(key, FilesValue(name), 1);
    SetLastError(ERROR_INVALID_DATA);  // a release that was not named cannot be refused
    return false;
}

bool ReadRefusedFiles(const std::wstring& key, const std::string& name, bool* refused) {
    std::uint64_t value = 0;
    return ReadRecord(key, FilesValue(name), &value, refused);
}
