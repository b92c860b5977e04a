// A temporary directory that is removed with everything in it when the object goes.
#pragma once

#include <filesystem>
#include <string>

namespace zel::test {

class TempDir {
public:
    TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir();

    [[nodiscard]] const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

std::string readFile(const std::filesystem::path& path);

// Sets an environment variable for the life of the object, then restores the old value.
class ScopedEnv {
public:
    ScopedEnv(std::string name, const char* value);
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
    ~ScopedEnv();

private:
    std::string name_;
    bool hadValue_ = false;
    std::string oldValue_;
};

} // namespace zel::test
