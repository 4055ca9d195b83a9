#pragma once
// Helpers shared by the test programs.
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

namespace varnock::test {

// A fresh directory under the system's temp folder, removed at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return m_path; }
    std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

private:
    std::filesystem::path m_path;
};

// Points VARNOCK_DEVICE_DIR at a fresh temporary directory for a scope.
class ScopedDeviceDir {
public:
    ScopedDeviceDir();
    ~ScopedDeviceDir();
    const std::filesystem::path& path() const { return m_dir.path(); }

private:
    TempDir m_dir;
    std::string m_old;
    bool m_hadOld = false;
};

void WriteFile(const std::filesystem::path& path, const std::string& content);
std::string ReadFile(const std::filesystem::path& path);

// Polls `done` every millisecond until it is true or `timeout` has passed.
bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(5));

}  // namespace varnock::test
