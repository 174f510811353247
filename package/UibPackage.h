// Decoder for .uib packages: a 12-byte header ("UMIB", Total, Block size)
// followed by blocks, each a little-endian Length and one zlib stream that
// inflates to at most 16384 bytes.
#pragma once

// Decodes the package at |source| into |target| (both narrow paths in the
// system ANSI code page). Returns 1 when every block decoded and the byte
// count matched the header's Total, otherwise 0; there is no other report.
//
// The decoded bytes go to a side file beside |target| that replaces it only
// on success, so on failure an existing target is left byte for byte as it
// was and no side file remains. The source is never changed. Synchronous,
// stateless, and memory use does not depend on the package's size.
int DecodeUibPackage(const char* source, const char* target);

// Decodes the package at |source| into the file |output| itself, which the
// caller has chosen beside the real target (the installer stages every new
// file this way before it puts any in place). |output| is opened with mode
// "wb" only once the header is accepted. Returns 1 as DecodeUibPackage does;
// on 0 |output| may hold part of the data, and removing it is the caller's.
int DecodeUibPackageTo(const char* source, const char* output);
