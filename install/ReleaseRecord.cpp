#include "install/ReleaseRecord.h"

#include <windows.h>

#include <cstdio>

#include "base/AnsiText.h"

namespace {

constexpr wchar_t kKeysVersionValue[] = L"Upgrade Keys Version";

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

}  // namespace

bool ReadAcceptedKeysVersion(const std::wstring& key, std::uint64_t* version) {
    bool found = false;
    return ReadRecord(key, kKeysVersionValue, version, &found);
}

bool RecordAcceptedKeysVersion(const std::wstring& key, std::uint64_t version) {
    return WriteRecord(key, kKeysVersionValue, version);
}

bool ReadReleaseRecord(const std::wstring& key, std::uint64_t keysVersion, ReleaseRecord* record) {
    bool found = false;
    return ReadRecord(key, InstalledValue(keysVersion), &record->installed, &found) &&
           ReadRecord(key, RolledBackValue(keysVersion), &record->rolledBack, &record->anyRolledBack);
}

bool RecordInstalledRelease(const std::wstring& key, std::uint64_t keysVersion, std::uint64_t release) {
    return WriteRecord(key, InstalledValue(keysVersion), release);
}

bool RecordRolledBackRelease(const std::wstring& key, std::uint64_t keysVersion, std::uint64_t release) {
    ReleaseRecord record;
    if (!ReadReleaseRecord(key, keysVersion, &record)) return false;
    if (record.anyRolledBack && record.rolledBack >= release) return true;
    return WriteRecord(key, RolledBackValue(keysVersion), release);
}

std::string SignedReleaseName(std::uint64_t keysVersion, std::uint64_t release) {
    return "signed " + std::to_string(keysVersion) + " " + std::to_string(release);
}

namespace {

constexpr char kFilesPrefix[] = "files ";

bool ReadSigned(const std::string& name, std::uint64_t* keysVersion, std::uint64_t* release) {
    char end = 0;
    unsigned long long k = 0, r = 0;
    if (std::sscanf(name.c_str(), "signed %llu %llu%c", &k, &r, &end) != 2) return false;
    *keysVersion = k, *release = r;
    return true;
}

bool IsFiles(const std::string& name) { return name.compare(0, sizeof kFilesPrefix - 1, kFilesPrefix) == 0; }

std::wstring FilesValue(const std::string& name) {
    return L"Upgrade Rolled Back Files " + FromUtf8(name.substr(sizeof kFilesPrefix - 1));
}

}  // namespace

std::wstring DescribeRelease(const std::string& name) {
    std::uint64_t keysVersion = 0, release = 0;
    if (ReadSigned(name, &keysVersion, &release)) {
        return L"release " + std::to_wstring(release) + L" (keys version " + std::to_wstring(keysVersion) + L")";
    }
    if (IsFiles(name)) return L"the release of files " + FromUtf8(name.substr(sizeof kFilesPrefix - 1, 16));
    return name.empty() ? L"the release installed last" : FromUtf8(name);
}

bool RecordRefusedRelease(const std::wstring& key, const std::string& name) {
    std::uint64_t keysVersion = 0, release = 0;
    if (ReadSigned(name, &keysVersion, &release)) return RecordRolledBackRelease(key, keysVersion, release);
    if (IsFiles(name)) return WriteRecord(key, FilesValue(name), 1);
    SetLastError(ERROR_INVALID_DATA);  // a release that was not named cannot be refused
    return false;
}

bool ReadRefusedFiles(const std::wstring& key, const std::string& name, bool* refused) {
    std::uint64_t value = 0;
    return ReadRecord(key, FilesValue(name), &value, refused);
}
