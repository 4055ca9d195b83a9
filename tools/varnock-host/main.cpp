// varnock-host: runs a program with the compatibility library for Varnock's
// virtual ports preloaded (libvarnock-host.so, beside this program).
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

constexpr const char* kLibrary = "libvarnock-host.so";

int Usage(std::FILE* to, int code) {
    std::fprintf(to,
                 "usage: varnock-host PROGRAM [ARGS...]\n"
                 "Runs PROGRAM so that Varnock's virtual ports behave as real serial ports:\n"
                 "data bits and parity stick and reach the PLC, DTR/RTS and the modem status\n"
                 "answer. Every other file of the program is left alone.\n"
                 "Example: varnock-host wine program.exe\n");
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage(stderr, 2);
    std::string first = argv[1];
    if (first == "--help" || first == "-h") return Usage(stdout, 0);
    int program = first == "--" ? 2 : 1;
    if (program >= argc) return Usage(stderr, 2);

    std::error_code ec;
    std::filesystem::path library =
        std::filesystem::read_symlink("/proc/self/exe", ec).parent_path() / kLibrary;
    if (ec || ::access(library.c_str(), R_OK) != 0) {
        std::fprintf(stderr, "varnock-host: %s is missing beside this program\n", kLibrary);
        return 127;
    }
    // The loader splits its list at blanks and colons.
    if (library.native().find_first_of(" :") != std::string::npos) {
        std::fprintf(stderr, "varnock-host: cannot preload %s: its path holds a blank or a colon\n",
                     library.c_str());
        return 127;
    }
    std::string preload = library.native();
    if (const char* old = std::getenv("LD_PRELOAD"); old && *old) preload = std::string(old) + ":" + preload;
    ::setenv("LD_PRELOAD", preload.c_str(), 1);

    ::execvp(argv[program], argv + program);
    int error = errno;
    std::fprintf(stderr, "varnock-host: cannot run %s: %s\n", argv[program], std::strerror(error));
    return error == ENOENT ? 127 : 126;
}
