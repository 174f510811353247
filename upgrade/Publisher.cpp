// Where this build takes its upgrades from, and whose signature they must
// carry: the server's address (QUILLSTONE_UPGRADE_URL) and the publisher's
// root key (QUILLSTONE_UPGRADE_KEY, from a header made at build time), both
// compiled in. Kept alone in this file, so that a build for another server or
// another key compiles only it again.
#include "upgrade/UpgradeJob.h"
#include "upgrade_key.h"

UpgradeSource DefaultUpgradeSource() {
#ifdef QUILLSTONE_UPGRADE_KEY
    static const unsigned char key[64] = QUILLSTONE_UPGRADE_KEY;
#else
    static const unsigned char* const key = nullptr;
#endif
    return UpgradeSource{QUILLSTONE_UPGRADE_URL, key, kReleaseRecordKey};
}
