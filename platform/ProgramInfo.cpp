// Class names, the same on every platform: what differs is the compiler.

#include "platform/ProgramInfo.h"

#if __has_include(<cxxabi.h>)
#include <cxxabi.h>
#define AFP_HAVE_CXXABI 1
#endif

#include <cstdlib>
#include <memory>

namespace afp {

std::string ReadableTypeName(const std::type_info& type) {
#if defined(AFP_HAVE_CXXABI)
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), std::free);
    if (status == 0 && name) return name.get();
#endif
    return type.name();
}

}  // namespace afp
