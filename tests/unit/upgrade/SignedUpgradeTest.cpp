// Upgrades signed by their publisher: with a root key compiled in, nothing
// is installed that a manifest signed by a release key of a keys document
// signed with it does not vouch for. The attacks on a signed release, TUF's
// way, each against the real upgrade job with test keys, a clock the test
// sets and an HTTP server the test plays.
#include <gtest/gtest.h>

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "base/Handles.h"
#include "tests/support/TestEventLog.h"
#include "tests/unit/upgrade/JobFixtures.h"
#include "trust/BlockMap.h"
#include "trust/KeysDocument.h"
#include "trust/Manifest.h"
#include "upgrade/DownloadStore.h"
#include "upgrade/ReleaseCheck.h"
#include "trust/SignedText.h"

using namespace jobtest;

namespace {

std::string Sha256(const std::string& bytes) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    unsigned char digest[32] = {};
    BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    BCRYPT_HASH_HANDLE hash = nullptr;
    BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0);
    BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())), static_cast<ULONG>(bytes.size()),
                   0);
    BCryptFinishHash(hash, digest, 32, 0);
    BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(algorithm, 0);
    std::string hex;
    for (unsigned char b : digest) {
        hex += "0123456789abcdef"[b >> 4];
        hex += "0123456789abcdef"[b & 15];
    }
    return hex;
}

// The block map of a file that holds `bytes`, as the publisher's tool makes it.
std::string MapOf(const std::string& bytes) {
    wchar_t folder[MAX_PATH] = {}, name[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, folder);
    GetTempFileNameW(folder, L"map", 0, name);
    std::FILE* file = _wfopen(name, L"w+b");
    BlockMap map;
    const bool made = file && std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size() &&
                      (std::rewind(file), MakeBlockMap(file, false, &map));
    if (file) std::fclose(file);
    DeleteFileW(name);
    EXPECT_TRUE(made);
    return FormatBlockMap(map);
}

// A publisher's key pair, made for the test.
class Publisher {
public:
    Publisher() {
        BCryptOpenAlgorithmProvider(&m_algorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0);
        BCryptGenerateKeyPair(m_algorithm, &m_key, 256, 0);
        BCryptFinalizeKeyPair(m_key, 0);
        unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + 64] = {};
        ULONG size = 0;
        BCryptExportKey(m_key, nullptr, BCRYPT_ECCPUBLIC_BLOB, blob, sizeof blob, &size, 0);
        std::memcpy(publicKey.data(), blob + sizeof(BCRYPT_ECCKEY_BLOB), 64);
    }
    ~Publisher() {
        BCryptDestroyKey(m_key);
        BCryptCloseAlgorithmProvider(m_algorithm, 0);
    }
    std::string Sign(const std::string& text) const {
        std::string hex = Sha256(text), digest;
        for (std::size_t i = 0; i < 64; i += 2) digest += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
        unsigned char signature[64] = {};
        ULONG size = 0;
        BCryptSignHash(m_key, nullptr, reinterpret_cast<PUCHAR>(&digest[0]), 32, signature, 64, &size, 0);
        return std::string(reinterpret_cast<char*>(signature), 64);
    }

    PublicKey publicKey = {};

private:
    BCRYPT_ALG_HANDLE m_algorithm = nullptr;
    BCRYPT_KEY_HANDLE m_key = nullptr;
};

// A well-formed manifest of exactly 64 KiB and one byte: the two files and
// as many more as it takes.
std::string Oversized(Manifest manifest) {
    const std::size_t lineBeyondName = std::string("File:  1  36 \n").size() + 64 + 64;
    std::string text = FormatManifest(manifest);
    for (int i = 0; kManifestLimit + 1 - text.size() > 300; ++i) {
        manifest.files.push_back({"padding-" + std::to_string(i) + std::string(100, 'p'), 1, std::string(64, '0'), 0,
                                  "", 36, std::string(64, '0')});
        text = FormatManifest(manifest);
    }
    manifest.files.push_back({std::string(kManifestLimit + 1 - text.size() - lineBeyondName, 'q'), 1,
                              std::string(64, '0'), 0, "", 36, std::string(64, '0')});
    return FormatManifest(manifest);
}

// The tests' clock: what the expiry is judged by.
std::int64_t Now() {
    std::int64_t now = 0;
    ParseUtcTime("2026-12-08T12:00:00Z", &now);
    return now;
}

// The release a case starts from: its files, its keys document, its
// manifest and their signatures.
struct Release {
    std::map<std::string, Served> served;
    KeysDocument keys;  // signed by `root`
    const Publisher* root;
    Manifest manifest;
    std::string text;        // the manifest as served; empty: made from `manifest`
    std::string signedText;  // what the signature is over; empty: the manifest as served
    const Publisher* signer;
    std::vector<const Publisher*> cosigners;  // their signatures follow the signer's
    bool withKeys = true, withManifest = true, withSignature = true;
    // When set: the upgrade's clock stands still until the server is asked
    // for this name, then moves 20 s at each look.
    std::string clockRunsFrom;
};

class Signed : public ::testing::Test {
protected:
    void SetUp() override {
        running.Start();
        RegDeleteTreeW(HKEY_CURRENT_USER, kReleaseKey);
    }
    void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, kReleaseKey); }

    Release Valid() const {
        Release r;
        r.served = {{"one.txt", {"new one"}}, {"two.bin", {std::string(3000, 't')}}};
        r.keys = {1, Now(), Now() + 365 * 86400, {release.publicKey}};
        r.root = &root;
        r.manifest.release = 5;
        r.manifest.keysVersion = 1;
        r.manifest.signedAt = Now();
        r.manifest.expires = Now() + 90 * 86400;
        for (const auto& [entry, name] :
             {std::pair<std::string, std::string>{"one.txt", "one.txt"}, {"sub\\two.bin", "two.bin"}}) {
            const std::string& bytes = r.served[name].bytes;
            const std::string map = MapOf(bytes);
            r.served[name + ".blockmap"] = {map};
            r.manifest.files.push_back({entry, bytes.size(), Sha256(bytes), 0, "", map.size(), Sha256(map)});
        }
        r.signer = &release;
        return r;
    }
    // Where the records of a root's releases are kept.
    static std::wstring Records(const Publisher& root) {
        return RootRecordKey(kReleaseKey, RootFingerprint(root.publicKey.data()));
    }
    // The release recorded as installed under keys version 1.
    std::uint64_t Installed() const {
        ReleaseRecord record;
        EXPECT_TRUE(ReadReleaseRecord(Records(root), 1, &record));
        return record.installed;
    }

    struct Outcome {
        bool installed;
        std::vector<std::string> requested;  // by the upgrade, in order
    };
    // Serves the release and runs the upgrade of "one.txt" and "sub\two.bin"
    // into `here`.
    Outcome Upgrade(Release release, const Folders& here, UpgradeProgress& shown, const wchar_t* key = kReleaseKey) {
        if (release.text.empty()) release.text = FormatManifest(release.manifest);
        std::map<std::string, Served> served = release.served;
        if (release.withKeys) {
            const std::string keys = FormatKeysDocument(release.keys);
            served["Quillstone.keys"] = {keys};
            served["Quillstone.keys.sig"] = {release.root->Sign(keys)};
        }
        if (release.withManifest && !served.count("Quillstone.manifest"))
            served["Quillstone.manifest"] = {release.text};
        if (release.signedText.empty()) release.signedText = release.text;
        std::string signatures = release.signer->Sign(release.signedText);
        for (const Publisher* cosigner : release.cosigners) signatures += cosigner->Sign(release.signedText);
        if (release.withSignature) served["Quillstone.manifest.sig"] = {signatures};
        UpgradeServer server(served);
        EXPECT_TRUE(server.Listening());
        UpgradeJob job(EntriesOf({"one.txt", "sub\\two.bin"}), here.Temp(), shown, running,
                       UpgradeSource{server.Url(), root.publicKey.data(), key});
        job.SetClock(Now);
        std::uint64_t now = 0;
        if (!release.clockRunsFrom.empty()) {
            job.SetTickClock([&] {
                const std::vector<std::string> asked = server.Requested();
                if (std::find(asked.begin(), asked.end(), release.clockRunsFrom) != asked.end()) now += 20000;
                return now;
            });
        }
        const bool installed = job.Run();
        return {installed, server.Requested()};
    }

    static constexpr wchar_t kReleaseKey[] = L"Software\\Quillstone-tests\\SignedUpgrade";
    const std::map<std::string, std::string> before = {{"one.txt", "old one"}};
    const std::map<std::string, std::string> after = {
        {"one.txt", "new one"}, {"sub", "<dir>"}, {"sub\\two.bin", std::string(3000, 't')}};
    StopFlag running;
    Display display;
    Publisher root, release, rotated, stranger;
};

TEST_F(Signed, NothingIsInstalledThatThePublisherDidNotSignFor) {
    const std::wstring key = Records(root), oldRoot = Records(stranger);
    const std::int64_t expired = Now() - kExpiryGraceSeconds - 1;
    struct Case {
        const char* what;
        std::function<void()> recorded;  // what this user's registry holds before
        std::function<void(Release&)> attack;
        bool installs;
        bool asksForFiles;   // false: refused on the signed documents alone, before any file is asked for
        const char* logged;  // the verdict's line in the event log
    } cases[] = {
        {"a valid release", [] {}, [](Release&) {}, true, true, "Manifest accepted: release 5 (installed so far: 0)"},
        {"the release installed already: a repair", [&] { RecordInstalledRelease(key, 1, 5); }, [](Release&) {}, true,
         true, "Manifest accepted: release 5 (installed so far: 5)"},
        {"a release older than the one installed", [&] { RecordInstalledRelease(key, 1, 6); }, [](Release&) {}, false,
         false, "Upgrade refused: the manifest's release is older than the one installed (5 < 6, keys version 1)"},
        {"a release rolled back here",
         [&] { RecordRefusedRelease(kReleaseKey, SignedReleaseName(RootFingerprint(root.publicKey.data()), 1, 5)); },
         [](Release&) {}, false, false,
         "Upgrade refused: release 5 is at or below release 5, rolled back here (keys version 1)"},
        {"a rollback named past 2^64-1 in a journal: no name of ours, nothing recorded",
         [&] {
             const std::string name = "signed " + RootFingerprint(root.publicKey.data()) + " 1 18446744073709551616";
             EXPECT_FALSE(RecordRefusedRelease(kReleaseKey, name));
         },
         [](Release&) {}, true, true, "Manifest accepted: release 5 (installed so far: 0)"},
        {"a build with a new root key, after the old root's keys version 2 and release 50",
         [&] {
             RecordAcceptedKeysVersion(oldRoot, 2);
             RecordInstalledRelease(oldRoot, 1, 50);
             RecordRolledBackRelease(oldRoot, 1, 60);
         },
         [](Release&) {}, true, true, "Manifest accepted: release 5 (installed so far: 0), keys version 1"},
        {"a release record that cannot be read",
         [&] { RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), L"Upgrade Release (keys version 1)", REG_SZ, L"6", 4); },
         [](Release&) {}, false, false, "Upgrade refused: the release record cannot be read"},
        {"no keys document", [] {}, [](Release& r) { r.withKeys = false; }, false, false,
         "Upgrade refused: no signed Quillstone.keys could be downloaded"},
        {"a keys document signed by another root", [] {}, [this](Release& r) { r.root = &stranger; }, false, false,
         "Upgrade refused: bad signature, the keys document is not signed with the root key of this build"},
        {"a lower keys version after a higher one", [&] { RecordAcceptedKeysVersion(key, 2); }, [](Release&) {}, false,
         false, "Upgrade refused: the keys document's version is lower than one accepted already (1 < 2)"},
        {"an expired keys document", [] {}, [&](Release& r) { r.keys.expires = expired; }, false, false,
         "Upgrade refused: the keys document (version 1) expired on 2026-12-08T10:59:59Z"},
        {"no manifest", [] {}, [](Release& r) { r.withManifest = false; }, false, false,
         "Upgrade refused: no signed Quillstone.manifest could be downloaded"},
        {"no signature", [] {}, [](Release& r) { r.withSignature = false; }, false, false,
         "Upgrade refused: no signature of Quillstone.manifest could be downloaded"},
        {"a manifest signed by a release key the keys document does not list", [] {},
         [this](Release& r) { r.signer = &stranger; }, false, false,
         "Upgrade refused: bad signature, the manifest is not signed with a release key of keys version 1"},
        {"a manifest signed by a release key that a rotation removed", [&] { RecordAcceptedKeysVersion(key, 1); },
         [this](Release& r) {
             r.keys = {2, Now(), r.keys.expires, {rotated.publicKey}};
         },
         false, false,
         "Upgrade refused: bad signature, the manifest is not signed with a release key of keys version 2"},
        {"a release near 2^64 by a thief, then a rotation and release 44",
         [&] {
             RecordAcceptedKeysVersion(key, 1);
             RecordInstalledRelease(key, 1, UINT64_MAX);
         },
         [this](Release& r) {
             r.keys = {2, Now(), r.keys.expires, {rotated.publicKey}};
             r.signer = &rotated;
             r.manifest.release = 44;
             r.manifest.keysVersion = 2;
         },
         true, true, "Manifest accepted: release 44 (installed so far: 0), keys version 2"},
        {"an old manifest served with a newer keys document that kept its release key",
         [&] {
             RecordAcceptedKeysVersion(key, 1);
             RecordInstalledRelease(key, 1, 50);
         },
         [this](Release& r) {
             r.keys = {2, Now(), r.keys.expires, {release.publicKey}};
         },
         false, false, "Upgrade refused: the manifest (release 5) is signed for keys version 1, not for the 2 served"},
        {"a threshold of two keys, signed by one", [] {},
         [this](Release& r) {
             r.keys = {1, Now(), r.keys.expires, {release.publicKey, rotated.publicKey}, 2};
         },
         false, false,
         "Upgrade refused: the manifest is signed by fewer than the 2 release keys keys version 1 asks for"},
        {"a threshold of two keys, signed twice by one", [] {},
         [this](Release& r) {
             r.keys = {1, Now(), r.keys.expires, {release.publicKey, rotated.publicKey}, 2};
             r.cosigners = {&release};
         },
         false, false,
         "Upgrade refused: the manifest is signed by fewer than the 2 release keys keys version 1 asks for"},
        {"a threshold of two keys, signed by both (and a stranger)", [] {},
         [this](Release& r) {
             r.keys = {1, Now(), r.keys.expires, {release.publicKey, rotated.publicKey}, 2};
             r.cosigners = {&stranger, &rotated};
         },
         true, true, "Manifest accepted: release 5 (installed so far: 0)"},
        {"an expired manifest", [] {}, [&](Release& r) { r.manifest.expires = expired; }, false, false,
         "Upgrade refused: the manifest (release 5) expired on 2026-12-08T10:59:59Z"},
        {"a clock set back below a signing time accepted here, past the manifest's expiry",
         [&] { RecordSigningTime(key, Now() + 100 * 86400); }, [](Release&) {}, false, false,
         "Upgrade refused: the manifest (release 5) expired on 2027-03-08T12:00:00Z"},
        {"a keys document signed after the manifest expired", [] {},
         [](Release& r) { r.keys.signedAt = Now() + 100 * 86400; }, false, false,
         "Upgrade refused: the manifest (release 5) expired on 2027-03-08T12:00:00Z"},
        {"a clock that runs a day behind the signing", [] {},
         [](Release& r) { r.keys.signedAt = r.manifest.signedAt = Now() + 86400; }, true, true,
         "Manifest accepted: release 5 (installed so far: 0)"},
        {"a manifest expired less than an hour ago", [] {},
         [&](Release& r) { r.manifest.expires = Now() - kExpiryGraceSeconds + 60; }, true, true,
         "Manifest accepted: release 5"},
        {"a byte of the manifest changed after signing", [] {},
         [](Release& r) {
             r.signedText = r.text = FormatManifest(r.manifest);
             r.text[r.text.size() - 2] ^= 1;
         },
         false, false, "Upgrade refused: bad signature"},
        {"a file swapped on the server after signing", [] {},
         [](Release& r) { r.served["two.bin"].bytes = std::string(3000, 'x'); }, false, true,
         "two.bin failed: the piece at 0 bytes came wrong twice"},
        {"a listed entry the manifest does not name: never asked for", [] {},
         [](Release& r) { r.manifest.files.pop_back(); }, false, false,
         "Upgrade refused: the list names sub\\two.bin, which the signed manifest does not"},
        {"an entry in another folder than signed", [] {},
         [](Release& r) { r.manifest.files.back().entry = "other\\two.bin"; }, false, false,
         "Upgrade refused: the list puts sub\\two.bin in another folder than the signed manifest, which gives "
         "other\\two.bin"},
        {"a size that differs", [] {}, [](Release& r) { r.manifest.files.front().size += 1; }, false, true,
         "File one.txt refused: 7 bytes, the manifest signs for 8"},
        {"a malformed line", [] {},
         [](Release& r) { r.text = FormatManifest(r.manifest) + "Note: signed all the same\n"; }, false, false,
         "Upgrade refused: the signed manifest is malformed"},
        {"a signed entry longer than a list can carry: the list would end before it", [] {},
         [](Release& r) {
             r.manifest.files.push_back(
                 {std::string(65, 'n'), 1, std::string(64, '0'), 0, "", 36, std::string(64, '0')});
         },
         false, false, "Upgrade refused: the signed manifest is malformed"},
        {"a signed entry outside ASCII: another file under another code page", [] {},
         [](Release& r) {
             r.manifest.files.push_back({"caf\xc3\xa9.txt", 1, std::string(64, '0'), 0, "", 36, std::string(64, '0')});
         },
         false, false, "Upgrade refused: the signed manifest is malformed"},
        {"a signed entry no list can name, though this list does not name it", [] {},
         [](Release& r) {
             r.manifest.files.push_back({"sub\\CON", 1, std::string(64, '0'), 0, "", 36, std::string(64, '0')});
         },
         false, false,
         "Upgrade refused: the manifest (release 5) cannot list sub\\CON: it is a path no upgrade list can name"},
        {"a manifest of 64 KiB and one byte, well formed and signed", [] {},
         [](Release& r) { r.text = Oversized(r.manifest); }, false, false,
         "Quillstone.manifest refused: the server declares 65537 bytes, more than the 65536 allowed for it"},
        {"a manifest that never ends", [] {},
         [](Release& r) {
             r.served["Quillstone.manifest"] = Served{std::string(4096, 'x'), false, true};
         },
         false, false, "Quillstone.manifest stopped: more than the 65536 bytes allowed for it came"},
        {"a signature that trickles past the manifest's minute", [] {},
         [](Release& r) {
             r.withSignature = false;
             r.served["Quillstone.manifest.sig"] = Served{std::string(10, 's'), false, false, true};
             r.clockRunsFrom = "Quillstone.manifest.sig";
         },
         false, false, "Quillstone.manifest.sig stopped: not over by the time allowed for it"},
        {"a file that trickles below 16 KiB a minute", [] {},
         [](Release& r) {
             r.served["two.bin"] = Served{std::string(100, 't'), false, false, true};
             r.clockRunsFrom = "two.bin";
         },
         false, true, "two.bin stopped: fewer than 16384 bytes came in 60 s (100 bytes in all)"},
    };
    testlog::LogFolder log;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        log.Clear();
        RegDeleteTreeW(HKEY_CURRENT_USER, kReleaseKey);
        c.recorded();
        Release release = Valid();
        c.attack(release);
        ReleaseRecord before;
        ReadReleaseRecord(key, release.keys.version, &before);

        Folders here;
        here.Lay(this->before);
        const Outcome outcome = Upgrade(release, here, display);
        EXPECT_EQ(outcome.installed, c.installs);
        EXPECT_EQ(c.installs ? here.Release() : here.Installed(), c.installs ? after : this->before);
        ReleaseRecord recorded;
        ReadReleaseRecord(key, release.keys.version, &recorded);
        EXPECT_EQ(recorded.installed, c.installs ? release.manifest.release : before.installed)
            << "a refused release is never recorded";
        EXPECT_EQ(here.LeftInTemp(), std::vector<std::string>()) << "whatever the upgrade wrote there is removed";

        // The keys document, the manifest and their signatures come before any file.
        ASSERT_FALSE(outcome.requested.empty());
        EXPECT_EQ(outcome.requested.front(), "Quillstone.keys");
        for (std::size_t i = 0; i < outcome.requested.size(); ++i) {
            const bool file = outcome.requested[i].rfind("Quillstone.", 0) != 0;
            EXPECT_TRUE(!file || (c.asksForFiles && i >= 4)) << outcome.requested[i] << " asked for at " << i;
        }
        if (c.asksForFiles) {
            EXPECT_GE(outcome.requested.size(), 5u);
        }

        // The log says why, once.
        const std::vector<std::string> events = testlog::Events(log.Log());
        EXPECT_EQ(std::count_if(events.begin(), events.end(),
                                [&](const std::string& e) { return e.find(c.logged) != std::string::npos; }),
                  1)
            << testlog::ReadAll(log.Log());
    }
}

// An answer longer than the manifest says costs at most its signed size and
// the rest of the read that reached it: reading stops there, and what was
// signed is installed only when the signed bytes came.
TEST_F(Signed, AnAnswerLongerThanSignedIsCutAtTheSignedSize) {
    const struct {
        const char* what;
        Served answer;
        bool installs;
        const char* logged;
    } cases[] = {
        {"other bytes than signed, without end and without a length",
         {std::string(1000, 'u'), false, true},
         false,
         "two.bin failed: the piece at 0 bytes came wrong twice"},
        {"the signed bytes and one more, without a length: the signed ones are installed, nothing read after them",
         {std::string(3001, 't'), false},
         true,
         "Downloaded http://127.0.0.1:50981/upgrade/two.bin: 3001 bytes"},
        {"a length longer than signed: refused before the first byte",
         {std::string(3001, 't')},
         false,
         "two.bin refused: the server declares 3001 bytes, more than the 3000 allowed for it"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        testlog::LogFolder log;  // nothing kept from the case before
        Release release = Valid();
        release.served["two.bin"] = c.answer;
        Folders here;
        here.Lay(before);
        EXPECT_EQ(Upgrade(release, here, display).installed, c.installs);
        EXPECT_EQ(c.installs ? here.Release() : here.Installed(), c.installs ? after : before);
        EXPECT_NE(testlog::ReadAll(log.Log()).find(c.logged), std::string::npos) << testlog::ReadAll(log.Log());
        EXPECT_EQ(here.LeftInTemp(), std::vector<std::string>());
    }
}

// The downloads' names in the temporary folder are easy to guess, and the
// folder is the user's: another program of the same user tries to change
// every file there, each time the bars move, from the first check to the
// last staged file. Nothing it tries succeeds, and what is installed is
// what the publisher signed.
TEST_F(Signed, AFileChangedInTheTemporaryFolderAfterItsCheckIsNeverInstalled) {
    testlog::LogFolder log;
    Folders here;
    here.Lay(before);
    WatchedDisplay shown;
    std::vector<std::string> changed;
    int tried = 0;
    shown.onTotal = [&](std::uint32_t) {
        // The private folder, and the store of downloads kept for later.
        std::vector<fs::directory_entry> files(fs::directory_iterator(here.root / "temp"), {});
        if (fs::exists(download_store::Folder())) {
            files.insert(files.end(), fs::directory_iterator(fs::path(download_store::Folder())), {});
        }
        for (const auto& item : files) {
            const std::wstring path = item.path().wstring();
            const std::string name = item.path().filename().string();
            ++tried;
            UniqueHandle writer(CreateFileW(path.c_str(), GENERIC_WRITE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
            DWORD written = 0;
            if (writer && WriteFile(writer.Get(), "evil", 4, &written, nullptr)) changed.push_back("wrote " + name);
            if (MoveFileExW(path.c_str(), (path + L".away").c_str(), 0)) {
                changed.push_back("renamed " + name);
                Folders::Write(item.path(), "evil");
            }
            if (DeleteFileW(path.c_str())) changed.push_back("deleted " + name);
        }
    };
    EXPECT_TRUE(Upgrade(Valid(), here, shown).installed);
    EXPECT_EQ(changed, std::vector<std::string>());
    EXPECT_GE(tried, 1 + 2 + 2) << "tried after each download and each staged file";
    EXPECT_EQ(here.Release(), after);
}

// The release is recorded before anything is put in place, so that a crash
// in the finishing cannot leave the old number behind to let an older
// release in again; a record that cannot be written installs nothing.
TEST_F(Signed, TheReleaseIsRecordedBeforeTheCommit) {
    {
        SCOPED_TRACE("recorded by the time the first file is staged");
        Folders here;
        here.Lay(before);
        WatchedDisplay shown;
        std::vector<std::uint64_t> recorded;
        shown.onTotal = [&](std::uint32_t) { recorded.push_back(Installed()); };
        EXPECT_TRUE(Upgrade(Valid(), here, shown).installed);
        // After each of the two downloads, after each of the two staged files, at the end.
        EXPECT_EQ(recorded, (std::vector<std::uint64_t>{0, 0, 5, 5, 5}));
    }
    {
        SCOPED_TRACE("a record that cannot be written: nothing installed");
        // Windows refuses a lasting key under a volatile one.
        constexpr wchar_t kVolatile[] = L"Software\\Quillstone-tests\\Volatile";
        RegDeleteTreeW(HKEY_CURRENT_USER, kVolatile);
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kVolatile, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(key);
        const std::wstring unwritable = std::wstring(kVolatile) + L"\\Release";
        ASSERT_FALSE(RecordInstalledRelease(RootRecordKey(unwritable, "0123456789abcdef"), 1, 1))
            << "the test's premise";
        Folders here;
        here.Lay(before);
        EXPECT_FALSE(Upgrade(Valid(), here, display, unwritable.c_str()).installed);
        EXPECT_EQ(here.Installed(), before);
        EXPECT_EQ(here.LeftInTemp(), std::vector<std::string>());
        RegDeleteTreeW(HKEY_CURRENT_USER, kVolatile);
    }
    {
        SCOPED_TRACE("another Quillstone of this user installs release 60 meanwhile: the record stays at 60");
        RegDeleteTreeW(HKEY_CURRENT_USER, kReleaseKey);
        testlog::LogFolder log;
        Folders here;
        here.Lay(before);
        WatchedDisplay shown;
        shown.onTotal = [&](std::uint32_t) { RecordInstalledRelease(Records(root), 1, 60); };
        EXPECT_FALSE(Upgrade(Valid(), here, shown).installed);
        EXPECT_EQ(Installed(), 60u);
        EXPECT_EQ(here.Installed(), before);
        EXPECT_NE(testlog::ReadAll(log.Log()).find(
                      "Upgrade refused: release 60 was installed here meanwhile, newer than 5 (keys version 1)"),
                  std::string::npos);
    }
    {
        SCOPED_TRACE("an installation undone after the record: the same release is accepted on the retry");
        RegDeleteTreeW(HKEY_CURRENT_USER, kReleaseKey);
        Folders here;
        here.Lay(before);
        {
            // A program holds the old file and forbids renaming it.
            UniqueHandle holder(CreateFileW((here.root / "app" / "one.txt").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                            nullptr, OPEN_EXISTING, 0, nullptr));
            ASSERT_TRUE(holder);
            EXPECT_FALSE(Upgrade(Valid(), here, display).installed);
        }
        EXPECT_EQ(here.Installed(), before);
        EXPECT_EQ(Installed(), 5u);
        EXPECT_TRUE(Upgrade(Valid(), here, display).installed);
        EXPECT_EQ(here.Release(), after);
    }
}

}  // namespace
