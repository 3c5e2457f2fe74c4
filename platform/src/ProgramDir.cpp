#include "platform/ProgramDir.h"

#include <climits>
#include <mutex>
#include <unistd.h>

namespace platform {
namespace {
std::mutex g_mutex;
std::string g_override;
}  // namespace

std::string GetProgramPath() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return {};
    return std::string(buf, static_cast<size_t>(n));
}

std::string GetProgramDirectory() {
    {
        std::lock_guard lock(g_mutex);
        if (!g_override.empty())
            return g_override;
    }
    std::string path = GetProgramPath();
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

void SetProgramDirectoryOverride(const std::string& dir) {
    std::lock_guard lock(g_mutex);
    g_override = dir;
    while (g_override.size() > 1 && g_override.back() == '/')
        g_override.pop_back();
}

}  // namespace platform
