#pragma once
// What `uibpack verify` makes of a release folder's signed documents before
// it looks at the files: the check Quillstone makes (trust/TrustCheck.h), as
// a desktop that has accepted nothing yet makes it. No OpenSSL here: verify
// brings it behind TrustCrypto, the fuzz target trust_diff_fuzz a stand-in.
// On a refusal `report` gets "refused: " and the sentence a desktop logs
// after "Upgrade refused: ".

#include <cstdint>
#include <string>

#include "trust/TrustCheck.h"

// The keys document's verdict at `now` (seconds since 1970, UTC), with
// `keys` read when its signature is good.
ReleaseVerdict VerifyKeys(const TrustCrypto& crypto, const unsigned char* rootKey, const std::string& text,
                          const std::string& signature, std::int64_t now, KeysDocument* keys, std::string* report);

// The manifest's, beside the keys document VerifyKeys accepted, with
// `manifest` read when its signatures are good.
ReleaseVerdict VerifyManifest(const TrustCrypto& crypto, const std::string& text, const std::string& signature,
                              const KeysDocument& keys, std::int64_t now, Manifest* manifest, std::string* report);
