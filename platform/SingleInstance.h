#pragma once
// Guard against a second copy of the program: an exclusive lock on a file in
// the device directory, held for the life of the process.
#include <filesystem>
#include <string>

namespace varnock::platform {

class SingleInstanceGuard {
public:
    SingleInstanceGuard() = default;
    ~SingleInstanceGuard();
    SingleInstanceGuard(const SingleInstanceGuard&) = delete;
    SingleInstanceGuard& operator=(const SingleInstanceGuard&) = delete;

    // Takes the lock on DIR/name. false when another process holds it, or
    // the lock file cannot be made.
    bool Acquire(const std::filesystem::path& directory, const std::string& name = "OnlyOneInstanceMutex");
    bool Held() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

}  // namespace varnock::platform
