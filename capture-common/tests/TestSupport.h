#pragma once
// Helpers shared by the capture-common tests.

#include <string>

// A trace slot name that no other test, test program or running trace viewer uses.
std::string UniqueSlotName();

// A fresh empty directory under the system's temporary folder, removed by the destructor.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};
