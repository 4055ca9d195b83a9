#include "platform/NamedMutex.h"

#include <map>

namespace varnock::platform {

NamedMutexHandle OpenNamedMutex(const std::string& name) {
    static std::mutex registryLock;
    // Entries live as long as somebody holds them; a name comes back to the
    // same object while any holder exists.
    static std::map<std::string, std::weak_ptr<std::recursive_mutex>> registry;
    std::lock_guard<std::mutex> lock(registryLock);
    auto& slot = registry[name];
    if (auto existing = slot.lock()) return existing;
    auto created = std::make_shared<std::recursive_mutex>();
    slot = created;
    return created;
}

}  // namespace varnock::platform
