#pragma once
// The event log as tests read it: a fresh folder the log is pointed at, and
// the events of its lines without their time stamps.
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "base/EventLog.h"

namespace testlog {

// A fresh folder under %TEMP%; the log goes to its "Quillstone" sub-folder
// (made by the log itself) until the object ends, then to the user's again.
class LogFolder {
public:
    LogFolder() {
        std::random_device entropy;
        do {
            m_root = std::filesystem::temp_directory_path() / (L"eventlog-" + std::to_wstring(entropy()));
        } while (!std::filesystem::create_directory(m_root));
        Use(m_root / L"Quillstone");
    }
    ~LogFolder() {
        SetEventLogFolder(nullptr);
        std::error_code ignored;
        std::filesystem::remove_all(m_root, ignored);
    }
    LogFolder(const LogFolder&) = delete;
    LogFolder& operator=(const LogFolder&) = delete;

    void Use(const std::filesystem::path& folder) {
        m_folder = folder;
        SetEventLogFolder(folder.c_str());
    }
    std::filesystem::path Root() const { return m_root; }
    std::filesystem::path Log() const { return m_folder / L"Quillstone.log"; }
    std::filesystem::path Older() const { return m_folder / L"Quillstone.log.1"; }
    // Starts the log afresh.
    void Clear() const {
        std::error_code ignored;
        std::filesystem::remove(Log(), ignored);
    }

private:
    std::filesystem::path m_root;
    std::filesystem::path m_folder;
};

inline std::string ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The whole lines of the file (CRLF-ended), without their line breaks.
inline std::vector<std::string> Lines(const std::filesystem::path& path, bool* endsWhole = nullptr) {
    std::vector<std::string> lines;
    const std::string text = ReadAll(path);
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
        lines.push_back(text.substr(start, end - start));
    }
    if (endsWhole) *endsWhole = start == text.size();
    return lines;
}

// The event of a line, after its time stamp; "" when the stamp is malformed.
inline std::string EventOf(const std::string& line) {
    static const std::regex stamped(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (.*)$)");
    std::smatch m;
    return std::regex_match(line, m, stamped) ? m[1].str() : "";
}

inline std::vector<std::string> Events(const std::filesystem::path& path) {
    std::vector<std::string> events;
    for (const std::string& line : Lines(path)) events.push_back(EventOf(line));
    return events;
}

}  // namespace testlog
