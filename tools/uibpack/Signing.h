#pragma once
// Signing a release and checking one, as the publisher does: a manifest of
// the release's files (upgrade/Manifest.h) and its ECDSA P-256 signature over
// SHA-256, written as r and s of 32 bytes each (the form Windows' CNG
// verifies). OpenSSL does the cryptography; only builds that have it offer
// these commands.

#include <cstdint>
#include <string>
#include <vector>

// Writes <outDir>/Quillstone.manifest and Quillstone.manifest.sig for the
// files, each listed under its file name as the server will serve it. False,
// with the reason in `error` and nothing written, when a key or a file cannot
// be used.
bool SignRelease(const std::string& privateKeyPem, std::uint64_t release, const std::string& outDir,
                 const std::vector<std::string>& files, std::string* error);

// Checks a folder as Quillstone checks a release: the signature over the
// manifest with the public key, the manifest's form, and every file it lists
// present beside it with its size and SHA-256. False with the first problem
// in `error`.
bool VerifyRelease(const std::string& publicKeyPem, const std::string& dir, std::string* error);
