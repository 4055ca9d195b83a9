#pragma once
// Named mutexes of the process: every open of the same name gets the same
// object, as with named kernel mutexes. Recursive, like a Windows mutex for
// the thread that owns it.
#include <memory>
#include <mutex>
#include <string>

namespace varnock::platform {

using NamedMutexHandle = std::shared_ptr<std::recursive_mutex>;

// Creates the mutex on first use; later calls with the same name share it.
NamedMutexHandle OpenNamedMutex(const std::string& name);

}  // namespace varnock::platform
