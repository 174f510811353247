#pragma once
// What the upgrade job's tests share: an HTTP server the test plays on
// 127.0.0.1, a display that records what it is shown, and the folders an
// upgrade works in.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/ScriptedPeer.h"
#include "upgrade/UpgradeJob.h"

namespace jobtest {

namespace fs = std::filesystem;

inline constexpr u_short kServerPort = 50981;

// What the upgrade window would show, in order.
struct Display : UpgradeProgress {
    std::vector<std::string> shown;
    void ShowEntry(const std::wstring& entry) override {
        shown.push_back("label " + std::string(entry.begin(), entry.end()));
    }
    void SetFileProgress(std::uint32_t position) override { shown.push_back("file " + std::to_string(position)); }
    void SetTotalProgress(std::uint32_t position) override { shown.push_back("total " + std::to_string(position)); }
};

// The same, and the test acts on the upgrade's thread whenever the overall
// bar moves: after each download, after each staged file, at the end.
struct WatchedDisplay : Display {
    std::function<void(std::uint32_t position)> onTotal;
    void SetTotalProgress(std::uint32_t position) override {
        Display::SetTotalProgress(position);
        if (onTotal) onTotal(position);
    }
};

// How many reads of a download the display was shown for `entry`.
inline int ReadsShown(const Display& display, const std::string& entry) {
    int reads = 0;
    bool inEntry = false;
    for (const std::string& line : display.shown) {
        if (line.rfind("label ", 0) == 0) inEntry = line == "label " + entry;
        reads += inEntry && line.rfind("file ", 0) == 0 && line != "file 100";
    }
    return reads;
}

// A file the server has: its bytes, and whether the answer declares their length.
struct Served {
    std::string bytes;
    bool declaresLength = true;
    bool endless = false;  // the bytes again and again, until the client lets go
    bool stalls = false;   // after the bytes, silence until the server goes
};

// Serves /upgrade/<name> from a map, one HTTP/1.0 answer per connection.
class UpgradeServer {
public:
    explicit UpgradeServer(std::map<std::string, Served> files)
        : m_files(std::move(files)), m_peer(kServerPort, [this](SOCKET s, int) { Answer(s); }) {}
    bool Listening() const { return m_peer.Listening(); }
    std::wstring Url() const { return L"http://127.0.0.1:" + std::to_wstring(kServerPort); }
    int Requests() const { return m_peer.Accepted(); }
    // The names asked for, in the order the requests arrived.
    std::vector<std::string> Requested() const {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_requested;
    }

private:
    void Answer(SOCKET s) {
        const std::string request = e2e::ReadRequest(s);
        const std::size_t from = request.find("/upgrade/") + 9, to = request.find(' ', from);
        {
            std::lock_guard<std::mutex> hold(m_lock);
            m_requested.push_back(request.substr(from, to - from));
        }
        const auto found = m_files.find(request.substr(from, to - from));
        if (found == m_files.end()) {
            e2e::SendAll(s, "HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n");
            return;
        }
        std::string head = "HTTP/1.0 200 OK\r\n";
        if (found->second.declaresLength)
            head += "Content-Length: " + std::to_string(found->second.bytes.size()) + "\r\n";
        bool sending = e2e::SendAll(s, head + "\r\n" + found->second.bytes);
        while (found->second.endless && sending && !m_peer.Stopping()) sending = e2e::SendAll(s, found->second.bytes);
        while (found->second.stalls && !m_peer.Stopping()) Sleep(20);
    }

    std::map<std::string, Served> m_files;
    mutable std::mutex m_lock;
    std::vector<std::string> m_requested;
    e2e::ScriptedPeer m_peer;
};

// A temporary folder and an installation folder (made the current folder, as
// the supervisor's is), both removed at the end, read-only files included.
class Folders {
public:
    Folders() {
        static int made = 0;
        root = fs::temp_directory_path() /
               ("qs-job-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++made));
        fs::remove_all(root);
        fs::create_directories(root / "temp");
        fs::create_directories(root / "app");
        GetCurrentDirectoryW(MAX_PATH, m_saved);
        SetCurrentDirectoryW((root / "app").c_str());
    }
    ~Folders() {
        m_held.clear();
        SetCurrentDirectoryW(m_saved);
        std::error_code ignored;
        for (const auto& item : fs::recursive_directory_iterator(root, ignored)) {
            SetFileAttributesW(item.path().c_str(), FILE_ATTRIBUTE_NORMAL);
        }
        fs::remove_all(root, ignored);
    }
    std::wstring Temp() const { return (root / "temp").wstring(); }
    // The names in the temporary folder: an upgrade that ended leaves none.
    std::vector<std::string> LeftInTemp() const {
        std::vector<std::string> names;
        for (const auto& item : fs::directory_iterator(root / "temp")) names.push_back(item.path().filename().string());
        return names;
    }
    std::wstring App() const { return (root / "app").wstring(); }
    // A file in the temporary folder, as a download leaves it; its path.
    std::wstring Download(const std::string& name, const std::string& bytes) const {
        Write(root / "temp" / name, bytes);
        return (root / "temp" / name).wstring();
    }
    // The same, open for reading as a checked download is, until the end.
    HANDLE Held(const std::string& name, const std::string& bytes) const {
        const std::wstring path = Download(name + "." + std::to_string(m_held.size()), bytes);
        m_held.emplace_back(
            CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        return m_held.back().Get();
    }
    // Files (content "<dir>": a folder) into the installation folder.
    void Lay(const std::map<std::string, std::string>& files) const {
        for (const auto& [path, content] : files) {
            if (content == "<dir>") {
                fs::create_directories(root / "app" / path);
            } else {
                Write(root / "app" / path, content);
            }
        }
    }
    static void Write(const fs::path& path, const std::string& bytes) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    // Every file under the installation folder with its content.
    std::map<std::string, std::string> Installed() const {
        std::map<std::string, std::string> files;
        for (const auto& item : fs::recursive_directory_iterator(root / "app")) {
            std::ifstream in(item.path(), std::ios::binary);
            std::stringstream content;
            if (item.is_regular_file()) content << in.rdbuf();
            files[fs::relative(item.path(), root / "app").string()] = item.is_regular_file() ? content.str() : "<dir>";
        }
        return files;
    }

    // The installed files alone, without the installation's own folder (where
    // a release on probation keeps its journal and the files it replaced).
    std::map<std::string, std::string> Release() const {
        std::map<std::string, std::string> files = Installed();
        files.erase(files.lower_bound("Quillstone-upgrade"), files.lower_bound("Quillstone-upgrade]"));  // and below
        return files;
    }

    fs::path root;

private:
    wchar_t m_saved[MAX_PATH] = {};
    mutable std::vector<UniqueHandle> m_held;
};

inline std::vector<UpgradeEntry> EntriesOf(const std::vector<std::string>& listed) {
    std::vector<UpgradeEntry> entries;
    for (const std::string& entry : listed) entries.push_back(MakeUpgradeEntry(entry));
    return entries;
}

}  // namespace jobtest
