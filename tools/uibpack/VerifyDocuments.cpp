#include "VerifyDocuments.h"

namespace {

// No desktop's past: no keys version, signing time or release accepted.
const ReleaseRecord kNone;

ReleaseVerdict Report(ReleaseVerdict verdict, const KeysDocument& keys, const Manifest& manifest, std::string* report) {
    if (verdict != ReleaseVerdict::kAccepted)
        *report = "refused: " + RefusalSentence(verdict, keys, 0, manifest, kNone);
    return verdict;
}

}  // namespace

ReleaseVerdict VerifyKeys(const TrustCrypto& crypto, const unsigned char* rootKey, const std::string& text,
                          const std::string& signature, std::int64_t now, KeysDocument* keys, std::string* report) {
    return Report(CheckKeys(crypto, text, signature, rootKey, 0, now, keys), *keys, Manifest(), report);
}

ReleaseVerdict VerifyManifest(const TrustCrypto& crypto, const std::string& text, const std::string& signature,
                              const KeysDocument& keys, std::int64_t now, Manifest* manifest, std::string* report) {
    return Report(CheckManifest(crypto, text, signature, keys, kNone, now, manifest), keys, *manifest, report);
}
