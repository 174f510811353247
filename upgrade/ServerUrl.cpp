// The upgrade server's base URL, from the build (QUILLSTONE_UPGRADE_URL).
// Kept alone in this file so that a build for another server compiles only it
// again.
#include "upgrade/UpgradeJob.h"

const wchar_t* DefaultUpgradeServerUrl() { return QUILLSTONE_UPGRADE_URL; }
