#include "runtime/ConfigFile.h"

#include <cerrno>
#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "runtime/Log.h"
#include "runtime/StringUtils.h"

namespace {

constexpr size_t kMaxLineLength = 255;

std::recursive_mutex g_mutex;
CConfigFile::ConfigMap* g_map = nullptr;
bool g_loadAttempted = false;
std::string g_path;

[[noreturn]] void OpenFailure(const char* op, const std::string& path) {
    TSK_LOG(LOGLEVEL_ERROR, 0, op << ": Failed to open configuration file " << path);
    throw CConfigureFailure("Failed to open configuration file " + path);
}

// The whole file as lines without their line ends (a CR before the LF is dropped too).
// `endsWithNewline` tells whether the last line was terminated.
bool ReadLines(const std::string& path, std::vector<std::string>& lines, bool& endsWithNewline) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec))
        return false;
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open())
        return false;
    std::ostringstream content;
    content << in.rdbuf();
    const std::string text = content.str();
    lines.clear();
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        size_t end = nl == std::string::npos ? text.size() : nl;
        size_t stop = end;
        if (stop > pos && text[stop - 1] == '\r')
            --stop;
        lines.push_back(text.substr(pos, stop - pos));
        if (nl == std::string::npos)
            break;
        pos = nl + 1;
    }
    endsWithNewline = text.empty() || text.back() == '\n';
    return true;
}

// Parses the lines in front of the first over-long one into `map`; the first occurrence wins.
void Parse(const std::vector<std::string>& lines, CConfigFile::ConfigMap& map) {
    for (const std::string& raw : lines) {
        if (raw.size() > kMaxLineLength)
            break;
        if (!raw.empty() && raw[0] == '#')
            continue;
        const std::string line = raw.substr(0, raw.find('#'));
        const size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        std::string key = line.substr(0, eq);
        std::string value = line.substr(eq + 1);
        Trim(key);
        Trim(value);
        map.emplace(std::move(key), std::move(value));
    }
}

void ParseFile(const char* op, const std::string& path, CConfigFile::ConfigMap& map) {
    std::vector<std::string> lines;
    bool endsWithNewline;
    if (!ReadLines(path, lines, endsWithNewline))
        OpenFailure(op, path);
    Parse(lines, map);
}

// Replaces the file by a complete new version: written to a temporary file beside it, flushed
// and renamed over it, so a crash or a full disk leaves the old file whole.
void ReplaceFile(const char* op, const std::string& path, const std::string& content) {
    std::string tmp = path + ".XXXXXX";
    int fd = mkstemp(tmp.data());
    if (fd < 0)
        OpenFailure(op, path);
    struct stat st;
    if (stat(path.c_str(), &st) == 0)
        fchmod(fd, st.st_mode & 07777);
    bool ok = true;
    size_t done = 0;
    while (ok && done < content.size()) {
        ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            ok = false;
        else
            done += static_cast<size_t>(n);
    }
    ok = ok && fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (!ok || std::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        OpenFailure(op, path);
    }
}

// The file with every line of `key` given the new value: the text after the "=" up to a trailing
// comment becomes a blank and the value, the rest of the line stays. `longest` is the length of
// the longest line changed.
std::string UpdatedContent(const std::vector<std::string>& lines, const std::string& key, const std::string& value,
                           size_t& longest) {
    std::string out;
    longest = 0;
    for (const std::string& line : lines) {
        std::string updated = line;
        if (!line.empty() && line[0] != '#') {
            const size_t hash = line.find('#');
            const size_t body = hash == std::string::npos ? line.size() : hash;
            const size_t eq = line.find('=');
            if (eq < body) {
                std::string lineKey = line.substr(0, eq);
                Trim(lineKey);
                if (lineKey == key) {
                    updated = line.substr(0, eq + 1) + " " + value + line.substr(body);
                    longest = std::max(longest, updated.size());
                }
            }
        }
        out += updated;
        out += '\n';
    }
    return out;
}

std::string InsertedLine(const std::string& key, const std::string& value) {
    return key + " = " + value;
}

// A line longer than the loader reads would end loading there: every key after it would be lost.
void RefuseLongLine(const char* op, const std::string& key, size_t length) {
    if (length <= kMaxLineLength)
        return;
    TSK_LOG(LOGLEVEL_ERROR, 0,
            op << ": The line of key " << key << " would hold " << length << " characters, more than "
               << kMaxLineLength);
    throw CConfigureFailure("Configuration line too long for key " + key);
}

bool HasAny(const std::string& text, const char* characters) {
    return text.find_first_of(characters) != std::string::npos;
}

}  // namespace

CConfigFile::ConfigMap* CConfigFile::GetLoadedInstance(const std::string& path) {
    std::lock_guard lock(g_mutex);
    if (!g_map)
        g_map = new ConfigMap;
    if (!g_loadAttempted) {
        g_loadAttempted = true;
        Load(path);
    }
    return g_map;
}

CConfigFile::ConfigMap* CConfigFile::GetInstance() {
    std::lock_guard lock(g_mutex);
    if (!g_map)
        g_map = new ConfigMap;
    return g_map;
}

void CConfigFile::DeleteInstance(ConfigMap* map) {
    std::lock_guard lock(g_mutex);
    if (map == g_map) {
        g_map = nullptr;
        g_loadAttempted = false;
    }
    delete map;
}

void CConfigFile::Load(const std::string& path) {
    std::lock_guard lock(g_mutex);
    ConfigMap loaded;
    ParseFile("CConfigFile::Load", path, loaded);
    if (!g_map)
        g_map = new ConfigMap;
    g_map->swap(loaded);
    g_path = path;
}

void CConfigFile::TestLoadingConfigFile(const std::string& path) {
    ConfigMap scratch;
    ParseFile("CConfigFile::TestLoadingConfigFile", path, scratch);
}

std::string CConfigFile::GetString(const ConfigMap* map, const std::string& key, const std::string& defaultValue) {
    std::lock_guard lock(g_mutex);
    if (!map)
        return defaultValue;
    auto it = map->find(key);
    return it == map->end() ? defaultValue : it->second;
}

int CConfigFile::GetInt(const ConfigMap* map, const std::string& key, int defaultValue) {
    std::string text;
    {
        std::lock_guard lock(g_mutex);
        if (!map)
            return defaultValue;
        auto it = map->find(key);
        if (it == map->end())
            return defaultValue;
        text = it->second;
    }
    return ParseDecimal(text);
}

bool CConfigFile::GetBool(const ConfigMap* map, const std::string& key) {
    std::string value;
    {
        std::lock_guard lock(g_mutex);
        if (!map)
            return true;
        auto it = map->find(key);
        if (it == map->end())
            return true;
        value = it->second;
    }
    ToUpper(value);
    if (value == "FALSE" || value == "0")
        return false;
    return true;
}

CConfigFile::ConfigMap CConfigFile::GetAll(const ConfigMap* map) {
    std::lock_guard lock(g_mutex);
    return map ? *map : ConfigMap{};
}

void CConfigFile::SetValue(ConfigMap* map, const std::string& key, const std::string& value) {
    if (key.empty() || HasAny(key, "\r\n=#")) {
        TSK_LOG(LOGLEVEL_ERROR, 0, "CConfigFile::SetValue: Invalid configuration key");
        throw CConfigureFailure("Invalid configuration key");
    }
    if (HasAny(value, "\r\n#")) {
        TSK_LOG(LOGLEVEL_ERROR, 0, "CConfigFile::SetValue: Invalid configuration value for key " << key);
        throw CConfigureFailure("Invalid configuration value for key " + key);
    }
    std::lock_guard lock(g_mutex);
    if (!map)
        map = GetInstance();
    auto it = map->find(key);
    // Checked before the map changes: a refused value is neither stored nor written.
    if (it != map->end()) {
        std::vector<std::string> lines;
        bool endsWithNewline;
        if (ReadLines(g_path, lines, endsWithNewline)) {
            size_t longest = 0;
            UpdatedContent(lines, key, value, longest);
            RefuseLongLine("CConfigFile::SetValue", key, longest);
        }
    } else {
        RefuseLongLine("CConfigFile::SetValue", key, InsertedLine(key, value).size());
    }
    if (it != map->end()) {
        it->second = value;
        UpdateKey(key, value);
    } else {
        map->emplace(key, value);
        InsertKey(key, value);
    }
}

void CConfigFile::SetValue(ConfigMap* map, const std::string& key, int value) {
    SetValue(map, key, std::to_string(value));
}

void CConfigFile::ToUpper(std::string& text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
}

void CConfigFile::UpdateKey(const std::string& key, const std::string& value) {
    std::lock_guard lock(g_mutex);
    const std::string path = g_path;
    std::vector<std::string> lines;
    bool endsWithNewline;
    if (!ReadLines(path, lines, endsWithNewline))
        OpenFailure("CConfigFile::UpdateKey", path);
    size_t longest = 0;
    const std::string out = UpdatedContent(lines, key, value, longest);
    RefuseLongLine("CConfigFile::UpdateKey", key, longest);
    ReplaceFile("CConfigFile::UpdateKey", path, out);
}

void CConfigFile::InsertKey(const std::string& key, const std::string& value) {
    std::lock_guard lock(g_mutex);
    const std::string path = g_path;
    std::vector<std::string> lines;
    bool endsWithNewline = true;
    if (!ReadLines(path, lines, endsWithNewline))
        OpenFailure("CConfigFile::InsertKey", path);
    RefuseLongLine("CConfigFile::InsertKey", key, InsertedLine(key, value).size());
    FILE* f = std::fopen(path.c_str(), "a");
    if (!f)
        OpenFailure("CConfigFile::InsertKey", path);
    // A last line without its line end would otherwise run into the new entry.
    std::string entry = endsWithNewline ? "" : "\n";
    entry += InsertedLine(key, value) + "\n";
    const bool ok = std::fwrite(entry.data(), 1, entry.size(), f) == entry.size();
    const bool closed = std::fclose(f) == 0;
    if (!ok || !closed)
        OpenFailure("CConfigFile::InsertKey", path);
}
