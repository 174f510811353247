#include "upgrade/UpgradeEntry.h"

#include "base/AnsiText.h"
#include "upgrade/UrlName.h"

namespace {

constexpr wchar_t kPackageSuffix[] = L".uib";
constexpr std::size_t kPackageSuffixLength = 4;
// Names longer than this do not fit the path buffers the worker builds.
constexpr std::size_t kNameLimit = 511;

}  // namespace

UpgradeEntry MakeUpgradeEntry(const std::string& listed) {
    UpgradeEntry entry;
    entry.listed = listed;
    entry.path = FromAnsi(listed);
    const std::size_t slash = entry.path.rfind(L'\\');
    entry.namePart = slash == std::wstring::npos ? entry.path : entry.path.substr(slash + 1);

    // The server sees the name's bytes in the system code page.
    if (ToAnsi(entry.namePart, &entry.nameAnsi, kNameLimit)) entry.urlName = EncodeUrlNamePart(entry.nameAnsi);

    const std::size_t size = entry.path.size();
    entry.package = size >= kPackageSuffixLength &&
                    entry.path.compare(size - kPackageSuffixLength, kPackageSuffixLength, kPackageSuffix) == 0;
    entry.target = entry.package ? entry.path.substr(0, size - kPackageSuffixLength) : entry.path;
    return entry;
}
