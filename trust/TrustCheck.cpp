#include "trust/TrustCheck.h"

#include <algorithm>
#include <cctype>

#include "install/EntryPath.h"
#include "trust/SignedText.h"

namespace {

// Whether `name` ends in `suffix`, ASCII letters in either case (as a
// server on Windows finds files).
bool EndsWithNoCase(const std::string& name, const std::string& suffix) {
    return name.size() >= suffix.size() &&
           std::equal(suffix.begin(), suffix.end(), name.end() - suffix.size(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
           });
}

// Why `entry` cannot be listed: words that follow it, or null.
const char* EntryRefusal(const std::string& entry) {
    if (const char* fault = EntryFault(entry)) return fault;
    if (!IsSafeEntry(entry)) return "is a path no upgrade list can name";
    return EndsWithNoCase(NamePart(entry), ".blockmap") ? "is named as the server serves block maps" : nullptr;
}

const ManifestFile* FirstUnsafe(const Manifest& manifest) {
    for (const ManifestFile& f : manifest.files) {
        if (EntryRefusal(f.entry)) return &f;
    }
    return nullptr;
}

// Where a file is installed: a package decodes into its entry without ".uib".
std::string TargetOf(const ManifestFile& f) {
    return IsPackageEntry(f.entry) ? f.entry.substr(0, f.entry.size() - 4) : f.entry;
}

bool Alike(const ManifestFile& a, const ManifestFile& b) {
    return a.size == b.size && a.sha256 == b.sha256 && a.decodedSize == b.decodedSize &&
           a.decodedSha256 == b.decodedSha256 && a.mapSize == b.mapSize && a.mapSha256 == b.mapSha256;
}

// The first two files that one target or one name on the server would have
// to be, listed otherwise; `served` says which of the two they share.
bool FindTwice(const Manifest& manifest, const ManifestFile** first, const ManifestFile** second, bool* served) {
    const std::vector<ManifestFile>& files = manifest.files;
    for (std::size_t i = 0; i < files.size(); ++i) {
        for (std::size_t j = i + 1; j < files.size(); ++j) {
            const bool sameTarget = SameEntry(TargetOf(files[i]), TargetOf(files[j]));
            const bool sameName = NamePart(files[i].entry) == NamePart(files[j].entry);
            if ((sameTarget || sameName) && !Alike(files[i], files[j])) {
                *first = &files[i];
                *second = &files[j];
                *served = !sameTarget;
                return true;
            }
        }
    }
    return false;
}

std::string Number(std::uint64_t n) { return std::to_string(n); }

}  // namespace

ReleaseVerdict CheckKeys(const TrustCrypto& crypto, const std::string& text, const std::string& signature,
                         const unsigned char* rootKey, std::uint64_t acceptedVersion, std::int64_t now,
                         KeysDocument* keys) {
    PublicKey root;
    std::copy(rootKey, rootKey + root.size(), root.begin());
    if (signature.size() != kSignatureSize || !crypto.Verify(text, signature, root)) {
        return ReleaseVerdict::kBadKeysSignature;
    }
    KeysDocument read;
    if (!ParseKeysDocument(text, &read)) return ReleaseVerdict::kBadKeys;
    *keys = std::move(read);
    if (keys->version < acceptedVersion) return ReleaseVerdict::kOlderKeys;
    if (IsExpired(keys->expires, now)) return ReleaseVerdict::kExpiredKeys;
    return ReleaseVerdict::kAccepted;
}

ReleaseVerdict CheckManifest(const TrustCrypto& crypto, const std::string& text, const std::string& signature,
                             const KeysDocument& keys, const ReleaseRecord& record, std::int64_t now,
                             Manifest* manifest) {
    if (signature.empty() || signature.size() > kSignaturesLimit || signature.size() % kSignatureSize != 0) {
        return ReleaseVerdict::kBadSignature;
    }
    // Distinct keys count: a key that signed twice is one signer.
    std::uint64_t signers = 0;
    for (const PublicKey& key : keys.keys) {
        bool signedByIt = false;
        for (std::size_t at = 0; !signedByIt && at < signature.size(); at += kSignatureSize) {
            signedByIt = crypto.Verify(text, signature.substr(at, kSignatureSize), key);
        }
        signers += signedByIt ? 1 : 0;
    }
    if (signers == 0) return ReleaseVerdict::kBadSignature;
    if (signers < keys.threshold) return ReleaseVerdict::kTooFewSignatures;

    Manifest read;
    if (!ParseManifest(text, &read)) return ReleaseVerdict::kBadManifest;
    *manifest = std::move(read);
    if (const ReleaseVerdict files = CheckFiles(*manifest); files != ReleaseVerdict::kAccepted) return files;
    if (manifest->keysVersion != keys.version) return ReleaseVerdict::kOtherKeysVersion;
    // The keys document was signed while its manifests were good: a clock
    // set back before that brings no expired manifest back.
    if (IsExpired(manifest->expires, std::max(now, keys.signedAt))) return ReleaseVerdict::kExpiredManifest;
    if (manifest->release < record.installed) return ReleaseVerdict::kOlderRelease;
    if (record.anyRolledBack && manifest->release <= record.rolledBack) return ReleaseVerdict::kRolledBackRelease;
    return ReleaseVerdict::kAccepted;
}

ReleaseVerdict CheckFiles(const Manifest& manifest) {
    if (FirstUnsafe(manifest)) return ReleaseVerdict::kUnsafeEntry;
    const ManifestFile *first = nullptr, *second = nullptr;
    bool served = false;
    if (FindTwice(manifest, &first, &second, &served)) return ReleaseVerdict::kEntryTwice;
    return ReleaseVerdict::kAccepted;
}

std::string RefusalSentence(ReleaseVerdict verdict, const KeysDocument& keys, std::uint64_t acceptedKeys,
                            const Manifest& manifest, const ReleaseRecord& record) {
    const std::string keysVersion = Number(keys.version), release = Number(manifest.release);
    switch (verdict) {
        case ReleaseVerdict::kAccepted: return "";
        case ReleaseVerdict::kBadKeysSignature:
            return "bad signature, the keys document is not signed with the root key of this build or was changed "
                   "after signing";
        case ReleaseVerdict::kBadKeys: return "the signed keys document is malformed";
        case ReleaseVerdict::kOlderKeys:
            return "the keys document's version is lower than one accepted already (" + keysVersion + " < " +
                   Number(acceptedKeys) + ")";
        case ReleaseVerdict::kExpiredKeys:
            return "the keys document (version " + keysVersion + ") expired on " + FormatUtcTime(keys.expires);
        case ReleaseVerdict::kBadSignature:
            return "bad signature, the manifest is not signed with a release key of keys version " + keysVersion +
                   " or was changed after signing";
        case ReleaseVerdict::kTooFewSignatures:
            return "the manifest is signed by fewer than the " + Number(keys.threshold) +
                   " release keys keys version " + keysVersion + " asks for";
        case ReleaseVerdict::kBadManifest: return "the signed manifest is malformed";
        case ReleaseVerdict::kUnsafeEntry:
            if (const ManifestFile* unsafe = FirstUnsafe(manifest)) {
                return "the manifest (release " + release + ") cannot list " + unsafe->entry + ": it " +
                       EntryRefusal(unsafe->entry);
            }
            return "the manifest lists an entry no upgrade list can name";
        case ReleaseVerdict::kEntryTwice: {
            const ManifestFile *first = nullptr, *second = nullptr;
            bool served = false;
            if (!FindTwice(manifest, &first, &second, &served)) return "the manifest lists one file twice";
            return "the manifest (release " + release + ") lists " + first->entry + " and " + second->entry +
                   ", which differ, but " +
                   (served ? "the server serves both as " + NamePart(first->entry) : "are one file");
        }
        case ReleaseVerdict::kOtherKeysVersion:
            return "the manifest (release " + release + ") is signed for keys version " + Number(manifest.keysVersion) +
                   ", not for the " + keysVersion + " served";
        case ReleaseVerdict::kExpiredManifest:
            return "the manifest (release " + release + ") expired on " + FormatUtcTime(manifest.expires);
        case ReleaseVerdict::kOlderRelease:
            return "the manifest's release is older than the one installed (" + release + " < " +
                   Number(record.installed) + ", keys version " + keysVersion + ")";
        case ReleaseVerdict::kRolledBackRelease:
            return "release " + release + " is at or below release " + Number(record.rolledBack) +
                   ", rolled back here (keys version " + keysVersion + ")";
    }
    return "";
}
