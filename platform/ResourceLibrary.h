#pragma once
// The resource library: a shared object beside the executable that holds
// every text (by string number) and every dialog template (by number, as
// Qt Designer .ui text). It exports a small C interface:
//
//   extern "C" const char* varnock_resource_string(int number);
//   extern "C" const char* varnock_resource_dialog(int number);
//
// Each returns nullptr for a number it does not have. Only the first is
// required.
#include <filesystem>
#include <mutex>
#include <string>

namespace varnock::platform {

inline constexpr const char* kResourceStringSymbol = "varnock_resource_string";
inline constexpr const char* kResourceDialogSymbol = "varnock_resource_dialog";

class ResourceLibrary {
public:
    ResourceLibrary() = default;
    ~ResourceLibrary();
    ResourceLibrary(const ResourceLibrary&) = delete;
    ResourceLibrary& operator=(const ResourceLibrary&) = delete;

    // Opens the library at `path`. false when it cannot be opened or lacks
    // the string entry point; nothing stays loaded then.
    bool Load(const std::filesystem::path& path);
    // Makes this library the source of LoadString and LoadDialogTemplate.
    void MakeCurrent();
    // Unhooks the library if it is the current source and closes it. Safe
    // to call when nothing is loaded.
    void Release();

    bool Loaded() const;
    // Text of a string number; empty when the library has none.
    std::string String(int number) const;
    // Dialog template (.ui text) of a number; empty when the library has none.
    std::string Dialog(int number) const;

private:
    using Lookup = const char* (*)(int);
    mutable std::mutex m_lock;
    void* m_hModule = nullptr;
    Lookup m_pString = nullptr;
    Lookup m_pDialog = nullptr;
};

// Dialog template from the current resource library; empty when there is no
// library or it has no such template.
std::string LoadDialogTemplate(int number);

}  // namespace varnock::platform
