#pragma once
// Guard against a second copy of the program: an exclusive lock on a file in
// the device directory, held for the life of the process. The holder writes
// its process id and program name into the file, so that a second copy can
// say who holds it.
#include <filesystem>
#include <string>

namespace varnock::platform {

class SingleInstanceGuard {
public:
    enum class Result {
        Acquired,
        HeldByAnother,  // another process holds the lock
        Failed,         // the lock file cannot be made or locked; Error() says why
    };

    SingleInstanceGuard() = default;
    ~SingleInstanceGuard();
    SingleInstanceGuard(const SingleInstanceGuard&) = delete;
    SingleInstanceGuard& operator=(const SingleInstanceGuard&) = delete;

    // The copy that holds the lock, as it wrote itself into the file.
    struct Holder {
        long pid = 0;         // 0 when unknown
        std::string program;  // file name of its executable
    };

    // Takes the lock on DIR/name.
    Result Acquire(const std::filesystem::path& directory, const std::string& name = "OnlyOneInstanceMutex");
    bool Held() const { return m_fd >= 0; }
    // Why the last Acquire failed, for the user.
    const std::string& Error() const { return m_error; }
    // Who holds DIR/name; pid 0 when the file says nothing usable.
    static Holder ReadHolder(const std::filesystem::path& directory,
                             const std::string& name = "OnlyOneInstanceMutex");

private:
    int m_fd = -1;
    std::string m_error;
};

}  // namespace varnock::platform
