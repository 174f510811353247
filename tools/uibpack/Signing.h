#pragma once
// Signing a release and checking one, as the publisher does. The root key
// (kept offline) signs the keys document, which lists the release keys
// (trust/KeysDocument.h); a release key signs each release's manifest
// (trust/Manifest.h). Each signature is ECDSA P-256 over SHA-256, written
// as r and s of 32 bytes each (the form Windows' CNG verifies). OpenSSL does
// the cryptography; only builds that have it offer these commands.
//
// Each command writes its document and signature under new names first and
// renames them into place one right after the other, so that a server never
// serves a half-written file; a client that asks between the two renames
// gets a pair that does not match, refuses it, and has it right next time.

#include <cstdint>
#include <string>
#include <vector>

// Writes <outDir>/Quillstone.keys and Quillstone.keys.sig: keys version
// `version`, signed now, expiring at `expires` (seconds since 1970, UTC), listing the
// release public keys (1 to 4 PEM files), signed with the root's private key.
// False, with the reason in `error` and nothing written, when a key cannot
// be used.
// A manifest needs the signatures of `threshold` of them (1 to their number).
bool WriteKeys(const std::string& rootPem, std::uint64_t version, std::int64_t expires, std::uint64_t threshold,
               const std::string& outDir, const std::vector<std::string>& releasePublicPems, std::string* error);

// One file of a release: the entry as the upgrade list names it, and where
// the file is.
struct ReleaseFile {
    std::string entry;
    std::string path;
};

// Writes <outDir>/Quillstone.manifest and Quillstone.manifest.sig for the
// files, each listed under its entry (a package with what it decodes to), as
// release `release` expiring at `expires`, signed with a release key of the
// keys document in `outDir`, whose version it is signed for. False, with the
// reason in `error` and nothing written, when there is no keys document, or a
// key (one it does not list), an entry or a file cannot be used; entries and
// files a desktop would refuse (TrustCheck.h's CheckFiles) are refused in its
// words.
// Each of `releasePems` signs (distinct keys, at least the keys document's
// threshold); the signatures go one after the other into the .sig file.
bool SignRelease(const std::vector<std::string>& releasePems, std::uint64_t release, std::int64_t expires,
                 const std::string& outDir, const std::vector<ReleaseFile>& files, std::string* error);

// Checks a folder as Quillstone checks a release before it downloads a file,
// at `now`, by the same check (trust/TrustCheck.h, through
// VerifyDocuments.h): the keys document against the root public key, the
// manifest against its release keys, the entries it lists, its keys version
// and both expiries. What it cannot know is a desktop's past: the keys
// versions and releases it accepted before, and the latest signing time it
// saw; it checks instead that every listed file is in the folder (under its
// entry's name part, as the server serves it) with its size and SHA-256,
// and that a package decodes to what is signed for it. True with a summary
// in `report`; false with the first problem in `report`: a refusal of the
// check in the words a desktop logs it ("refused: ..."), or the document or
// file that is missing or wrong.
bool VerifyRelease(const std::string& rootPublicPem, const std::string& dir, std::int64_t now, std::string* report);
