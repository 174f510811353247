#pragma once
// What this user's registry keeps of the releases installed here: the
// highest keys version accepted, per keys version the highest release
// installed and the highest one rolled back, and the file sets of unsigned
// releases that were rolled back. The upgrade checks against it; the
// rollback after a failed probation adds to it.

#include <cstdint>
#include <string>

// The key the records live under, below HKEY_CURRENT_USER.
constexpr wchar_t kReleaseRecordKey[] = L"Software\\Quillstone\\Quillstone";

// The key below `key` that keeps the records of the releases signed under
// one root key, `root` being that key's fingerprint (16 lower-case hex
// digits): a build with a new root key starts over, whatever the old root's
// keys versions and releases were.
std::wstring RootRecordKey(const std::wstring& key, const std::string& root);

// What the registry keeps for one keys version.
struct ReleaseRecord {
    std::uint64_t installed = 0;  // the highest release installed under it; 0 when none
    bool anyRolledBack = false;
    std::uint64_t rolledBack = 0;  // the highest release rolled back under it
};

// The records kept under `key` (below HKEY_CURRENT_USER). Per keys version,
// so that a rotation to a newer keys version starts the release numbers
// over. A value that is absent reads as nothing recorded (0); any other
// failure to read one returns false with the registry's error as the last
// error: an unreadable record must not pass for release 0. Each record is
// flushed to disk before its function returns, so that a power cut right
// after cannot bring an older number back; false, with the registry's error
// as the last error, when it cannot be kept.
//
// A record only ever rises: each Record function reads it again and writes
// only a higher number, under a lock that every Quillstone of this user
// shares (two logons may upgrade at once). `recorded`, when given, gets what
// the record holds afterwards: higher than the number given when another
// process recorded a higher one meanwhile.
bool ReadAcceptedKeysVersion(const std::wstring& key, std::uint64_t* version);
bool RecordAcceptedKeysVersion(const std::wstring& key, std::uint64_t version, std::uint64_t* recorded = nullptr);
bool ReadReleaseRecord(const std::wstring& key, std::uint64_t keysVersion, ReleaseRecord* record);
// The latest time (seconds since 1970, UTC) at which a signed document
// accepted here was signed; 0 when none.
bool ReadLatestSigningTime(const std::wstring& key, std::int64_t* seconds);
bool RecordSigningTime(const std::wstring& key, std::int64_t seconds);
bool RecordInstalledRelease(const std::wstring& key, std::uint64_t keysVersion, std::uint64_t release,
                            std::uint64_t* recorded = nullptr);
bool RecordRolledBackRelease(const std::wstring& key, std::uint64_t keysVersion, std::uint64_t release);

// A release as the installation journal names it: "signed <root> <keys
// version> <release>" for one its publisher signed, "files <SHA-256>" for an unsigned
// one, known by the set of files it installed.
std::string SignedReleaseName(const std::string& root, std::uint64_t keysVersion, std::uint64_t release);
// The name for a person: "release 7 (keys version 2)", "the files of <hash>".
std::wstring DescribeRelease(const std::string& name);
// Records the named release as rolled back (a signed one under RootRecordKey
// of `key`), so that it is refused from now on. A signed name whose numbers do not fit 64 bits is no name of ours:
// false, ERROR_INVALID_DATA.
bool RecordRefusedRelease(const std::wstring& key, const std::string& name);
// Whether the unsigned release named `name` was rolled back here; false when
// the record cannot be read (the last error says why).
bool ReadRefusedFiles(const std::wstring& key, const std::string& name, bool* refused);
