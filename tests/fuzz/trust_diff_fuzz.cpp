// Quillstone and `uibpack verify` side by side on the same folder of signed
// documents: both must give the same verdict, and verify must name a refusal
// in the words Quillstone logs. The input does not become the documents
// byte for byte: it chooses among mostly valid ones (a keys document signed
// by the test root, a manifest signed by its release keys) and the ways to
// spoil them (a flipped byte before or after signing, another signer, a
// threshold not met, a signature cut or repeated, entries no list can name or
// that clash, another keys version, an expiry on either side of the grace),
// so that the fuzzer gets past the signatures. Past the input's end every
// choice is 0, the valid one.
//
// Both paths use one stand-in for the cryptography: a signature is good when
// it is Tag(key, message), 64 bytes of a keyed mix. Fast and deterministic,
// it lets the harness sign what it spoils; a disagreement is then the
// check's or its callers', never the cryptography's. Quillstone's path is
// what UpgradeJob::FetchSignedManifest does (it needs Windows itself) on a
// desktop that has accepted nothing yet, less its checks of the list, which
// are its own; verify's path is the two calls VerifyRelease makes, in order.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "tools/uibpack/VerifyDocuments.h"
#include "trust/SignedText.h"

namespace {

constexpr std::int64_t kDay = 86400, kNow = 1796731200, kGrace = kExpiryGraceSeconds;  // now: 2026-12-08T12:00:00Z
// Around the edges the checks draw: the grace after an expiry, a clock behind
// or ahead of the signing.
constexpr std::int64_t kShifts[] = {0, 1, -1, kGrace, -kGrace, -kGrace - 1, 100 * kDay, -400 * kDay};
const PublicKey kRoot{1}, kKeys[] = {{3}, {4}, {5}, {6}, {2}};  // four release keys, then a stranger

std::string Tag(const PublicKey& key, const std::string& message) {
    std::uint64_t h = 1469598103934665603ULL;
    for (char c : std::string(key.begin(), key.end()) + message) h = (h ^ (c & 0xFF)) * 1099511628211ULL;
    std::string tag;
    while (tag.size() < kSignatureSize) tag += static_cast<char>((h = h * 6364136223846793005ULL + 1) >> 56);
    return tag;
}

struct TagCrypto : TrustCrypto {
    bool Verify(const std::string& message, const std::string& signature, const PublicKey& key) const override {
        return signature == Tag(key, message);
    }
};

using Outcome = std::pair<ReleaseVerdict, std::string>;

Outcome Quillstone(const std::string (&d)[4], std::int64_t clock) {
    const std::uint64_t accepted = 0;  // nothing in the registry yet
    const std::int64_t latest = 0, now = std::max(clock, latest);
    KeysDocument keys;
    Manifest manifest;
    const ReleaseRecord record;
    ReleaseVerdict verdict = CheckKeys(TagCrypto(), d[0], d[1], kRoot.data(), accepted, now, &keys);
    if (verdict == ReleaseVerdict::kAccepted)
        verdict = CheckManifest(TagCrypto(), d[2], d[3], keys, record, now, &manifest);
    if (verdict == ReleaseVerdict::kAccepted) return {verdict, ""};
    return {verdict, "refused: " + RefusalSentence(verdict, keys, accepted, manifest, record)};
}

Outcome Verify(const std::string (&d)[4], std::int64_t clock) {
    KeysDocument keys;
    Manifest manifest;
    std::string report;
    ReleaseVerdict verdict = VerifyKeys(TagCrypto(), kRoot.data(), d[0], d[1], clock, &keys, &report);
    if (verdict == ReleaseVerdict::kAccepted)
        verdict = VerifyManifest(TagCrypto(), d[2], d[3], keys, clock, &manifest, &report);
    return {verdict, report};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::size_t at = 0;
    const auto in = [&] { return at < size ? unsigned{data[at++]} : 0u; };
    const auto when = [&] { return kNow + kShifts[in() % 8]; };
    // A text spoiled, or not, around its signing; gives the signature.
    const auto spoil = [&](std::string* text, auto sign) {
        const unsigned how = in() % 3, where = in();
        if (how == 1 && !text->empty()) (*text)[where % text->size()] ^= 1;
        const std::string signature = sign(*text);
        if (how == 2 && !text->empty()) (*text)[where % text->size()] ^= 1;
        return signature;
    };

    const std::int64_t clock = when();
    KeysDocument keys;
    keys.version = 1 + in() % 3;
    keys.signedAt = when();
    keys.expires = when();
    keys.expires += in() % 2 ? 0 : 365 * kDay;  // a year on, or near the clock
    for (unsigned i = 0, listed = (in() & 15) ^ 1; i < 4; ++i) {
        if (listed >> i & 1) keys.keys.push_back(kKeys[i]);
    }
    keys.threshold = (in() + 1) % 6;
    const unsigned rootSigns = in() % 4;
    std::string d[4] = {FormatKeysDocument(keys)};
    d[1] = spoil(&d[0], [&](const std::string& text) {
        const std::string good = Tag(rootSigns == 1 ? kKeys[4] : kRoot, text);
        return rootSigns == 2 ? good.substr(1) : rootSigns == 3 ? good + good : good;
    });

    static const char* const kEntries[] = {
        "one.txt", "sub\\two.bin", "SUB\\TWO.bin", "other\\two.bin", "a b.uib",
        "a b",     "sub\\CON",     "MARLOW~1.EXE", "sub\\",          "caf\xc3\xa9.txt"};
    Manifest manifest;
    manifest.release = 1 + in() % 4;
    manifest.keysVersion = keys.version + (in() % 4 == 1 ? 1 : 0);
    manifest.signedAt = when();
    manifest.expires = when();
    manifest.expires += in() % 2 ? 0 : 90 * kDay;
    for (unsigned i = 0, files = (in() + 2) % 6; i < files; ++i) {
        const std::string entry = kEntries[(i + in()) % 10];
        const unsigned content = in() % 2;
        const bool package = IsPackageEntry(entry);
        manifest.files.push_back({entry, 7 + content, std::string(64, "ab"[content]), package ? 9u : 0u,
                                  package ? std::string(64, 'd') : "", 36, std::string(64, "ef"[content])});
    }
    const unsigned signers = in() ^ 1, extra = in() % 3;
    d[2] = FormatManifest(manifest);
    d[3] = spoil(&d[2], [&](const std::string& text) {
        std::string signatures;
        for (unsigned i = 0; i < 5; ++i) {
            if (signers >> i & 1) signatures += Tag(kKeys[i], text);
        }
        return signatures + (extra == 1 ? signatures.substr(0, kSignatureSize) : extra == 2 ? "!" : "");
    });

    const Outcome quillstone = Quillstone(d, clock), verify = Verify(d, clock);
    if (quillstone != verify || quillstone.second == "refused: ") {
        std::fprintf(stderr, "trust_diff_fuzz: Quillstone \"%s\", verify \"%s\"\n", quillstone.second.c_str(),
                     verify.second.c_str());
        std::abort();
    }
    return 0;
}
