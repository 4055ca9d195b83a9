#pragma once
// Handing a file to the desktop to open with its usual program, as the
// shell's "open" verb does: xdg-open, started detached. Nobody waits for it
// or checks what it starts.
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace varnock::platform {

class ShellOpener {
public:
    virtual ~ShellOpener() = default;
    // false only when the opener could not even be started.
    virtual bool Open(const std::filesystem::path& file) = 0;
};

// Runs `program` (found on PATH) with the file as its one argument, in a
// session of its own, with standard streams on /dev/null. The program is
// not a child of this process, so it is never left behind as a zombie.
class XdgShellOpener : public ShellOpener {
public:
    explicit XdgShellOpener(std::string program = "xdg-open") : m_program(std::move(program)) {}
    bool Open(const std::filesystem::path& file) override;

private:
    std::string m_program;
};

// Keeps every file asked for, in order (tests).
class RecordingShellOpener : public ShellOpener {
public:
    bool Open(const std::filesystem::path& file) override;
    std::vector<std::filesystem::path> Opened() const;

private:
    mutable std::mutex m_lock;
    std::vector<std::filesystem::path> m_opened;
};

// The opener in force: xdg-open unless replaced. The caller keeps
// ownership; nullptr restores xdg-open.
void SetShellOpener(ShellOpener* opener);
ShellOpener& CurrentShellOpener();

// Opens `file` with the opener in force.
inline bool ShellOpen(const std::filesystem::path& file) {
    return CurrentShellOpener().Open(file);
}

class ScopedShellOpener {
public:
    explicit ScopedShellOpener(ShellOpener& opener) { SetShellOpener(&opener); }
    ~ScopedShellOpener() { SetShellOpener(nullptr); }
    ScopedShellOpener(const ScopedShellOpener&) = delete;
    ScopedShellOpener& operator=(const ScopedShellOpener&) = delete;
};

}  // namespace varnock::platform
