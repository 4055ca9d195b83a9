#include "platform/ResourceLibrary.h"

#include <dlfcn.h>

#include "platform/MessageBox.h"

namespace varnock::platform {
namespace {

std::mutex g_currentLock;
ResourceLibrary* g_current = nullptr;

}  // namespace

ResourceLibrary::~ResourceLibrary() {
    Release();
}

bool ResourceLibrary::Load(const std::filesystem::path& path) {
    Release();
    void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) return false;
    auto str = reinterpret_cast<Lookup>(::dlsym(module, kResourceStringSymbol));
    if (!str) {
        ::dlclose(module);
        return false;
    }
    std::lock_guard<std::mutex> lock(m_lock);
    m_hModule = module;
    m_pString = str;
    m_pDialog = reinterpret_cast<Lookup>(::dlsym(module, kResourceDialogSymbol));
    return true;
}

void ResourceLibrary::MakeCurrent() {
    {
        std::lock_guard<std::mutex> lock(g_currentLock);
        g_current = this;
    }
    SetStringLoader([this](int number) { return String(number); });
}

void ResourceLibrary::Release() {
    {
        std::lock_guard<std::mutex> lock(g_currentLock);
        if (g_current == this) {
            g_current = nullptr;
            SetStringLoader(nullptr);
        }
    }
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_hModule) ::dlclose(m_hModule);
    m_hModule = nullptr;
    m_pString = nullptr;
    m_pDialog = nullptr;
}

bool ResourceLibrary::Loaded() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_hModule != nullptr;
}

std::string ResourceLibrary::String(int number) const {
    std::lock_guard<std::mutex> lock(m_lock);
    const char* text = m_pString ? m_pString(number) : nullptr;
    return text ? text : "";
}

std::string ResourceLibrary::Dialog(int number) const {
    std::lock_guard<std::mutex> lock(m_lock);
    const char* text = m_pDialog ? m_pDialog(number) : nullptr;
    return text ? text : "";
}

std::string LoadDialogTemplate(int number) {
    std::lock_guard<std::mutex> lock(g_currentLock);
    return g_current ? g_current->Dialog(number) : std::string();
}

}  // namespace varnock::platform
