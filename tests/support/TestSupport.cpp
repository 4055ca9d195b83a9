#include "tests/support/TestSupport.h"

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace varnock::test {
namespace fs = std::filesystem;

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "varnock-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(m_path, ec);
}

ScopedDeviceDir::ScopedDeviceDir() {
    ::chmod(m_dir.path().c_str(), 0700);
    if (const char* old = std::getenv("VARNOCK_DEVICE_DIR")) {
        m_old = old;
        m_hadOld = true;
    }
    ::setenv("VARNOCK_DEVICE_DIR", m_dir.path().c_str(), 1);
}

ScopedDeviceDir::~ScopedDeviceDir() {
    if (m_hadOld)
        ::setenv("VARNOCK_DEVICE_DIR", m_old.c_str(), 1);
    else
        ::unsetenv("VARNOCK_DEVICE_DIR");
}

void WriteFile(const fs::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace varnock::test
