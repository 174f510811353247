#pragma once
// The one check of a signed release: Quillstone makes it before it downloads
// a file, `uibpack verify` makes it on a release folder, and both go by these
// rules, in this order, with these verdicts and the sentence that explains
// each refusal. Each brings its own cryptography (Windows' CNG, OpenSSL)
// behind TrustCrypto, and what only it can know: a desktop its past (the
// keys version it accepted, its release records, the latest signing time it
// saw), verify the files in the folder. Only there can the two disagree.
// No Win32 and no OpenSSL here.

#include <cstdint>
#include <string>

#include "install/ReleaseRecord.h"
#include "trust/KeysDocument.h"
#include "trust/Manifest.h"

// The cryptography a check needs: ECDSA P-256 over SHA-256.
class TrustCrypto {
public:
    virtual ~TrustCrypto() = default;
    // Whether `signature` (r and s, 32 bytes each; the check passes no other
    // size) signs SHA-256 of `message` with `key` (X and Y). False for a key
    // that is no point of the curve, and when the cryptography cannot be had.
    virtual bool Verify(const std::string& message, const std::string& signature, const PublicKey& key) const = 0;
};

// What the checks before any download decide, in the order they are made.
enum class ReleaseVerdict {
    kAccepted,
    kBadKeysSignature,   // the keys document is not signed by the root key, or changed since
    kBadKeys,            // signed by the root key, but not a keys document
    kOlderKeys,          // a lower keys version than one accepted already
    kExpiredKeys,        // more than the grace past its expiry
    kBadSignature,       // the manifest is not signed by a release key of the keys document, or changed since
    kTooFewSignatures,   // signed by fewer distinct release keys than the keys document's threshold
    kBadManifest,        // signed, but not a manifest
    kUnsafeEntry,        // lists an entry no upgrade list can name
    kEntryTwice,         // lists one file, or one name on the server, twice and not alike
    kOtherKeysVersion,   // signed for another keys version than the keys document served
    kExpiredManifest,    // more than the grace past its expiry
    kOlderRelease,       // older than one installed already under this keys version
    kRolledBackRelease,  // at or below a release rolled back under this keys version
};

// Checks the keys document's signature (exactly one) with the root key (X
// and Y, 32 bytes each), reads it, and refuses a version lower than
// `acceptedVersion`, the highest accepted so far (the same one is accepted),
// and a document that expired more than the grace before `now` (seconds
// since 1970, UTC). The document is read whenever its signature is good, so
// that a refusal can name its version or its expiry.
ReleaseVerdict CheckKeys(const TrustCrypto& crypto, const std::string& text, const std::string& signature,
                         const unsigned char* rootKey, std::uint64_t acceptedVersion, std::int64_t now,
                         KeysDocument* keys);

// Checks the manifest's signatures (`signature` holds one to kMostSignatures
// of them, one after the other) with the release keys of `keys`: at least
// its threshold of distinct listed keys must have signed it. Then reads it,
// checks its files (CheckFiles), and refuses a manifest signed for another
// keys version than `keys`, one that expired more than the grace before
// `now` or before `keys` was signed, whichever is later, a release older
// than `record.installed` (the same one is accepted: a repair) and one at or
// below `record.rolledBack`. The manifest is read whenever its signatures
// are good, so that a refusal can name its release or its expiry.
ReleaseVerdict CheckManifest(const TrustCrypto& crypto, const std::string& text, const std::string& signature,
                             const KeysDocument& keys, const ReleaseRecord& record, std::int64_t now,
                             Manifest* manifest);

// The checks of a manifest's files that need no signature, as CheckManifest
// makes them: every entry is one a manifest can carry (EntryFault) and an
// upgrade list can name (IsSafeEntry), else kUnsafeEntry; two entries that
// install onto one file (letter case aside) or that the server serves under
// one name must be listed alike (sizes and SHA-256), else kEntryTwice, since
// a desktop would get one of them wrong. The publisher's tool makes them
// before it signs. kAccepted when all hold.
ReleaseVerdict CheckFiles(const Manifest& manifest);

// Why a check refused, in one sentence that the caller puts after its own
// words ("Upgrade refused: "), naming what was read: `keys` and `manifest` as
// the checks left them, `acceptedKeys` and `record` as the desktop gave them
// (0 and empty for verify, which never refuses on them). Empty for kAccepted.
std::string RefusalSentence(ReleaseVerdict verdict, const KeysDocument& keys, std::uint64_t acceptedKeys,
                            const Manifest& manifest, const ReleaseRecord& record);
