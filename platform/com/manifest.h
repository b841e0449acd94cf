// Look-ups in the calling thread's innermost active activation context (comrt/actctx.h), for
// activation. Internal to the runtime.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "comrt/guid.h"

namespace comrt::manifest {

// The server library (a full path) that the context names for the class; nullopt when no context
// is active on the thread or it does not describe the class.
std::optional<std::string> active_server(REFCLSID clsid);
// The class of a ProgID the active context describes.
std::optional<CLSID> active_class(std::u16string_view prog_id);
// The first ProgID the active context gives the class.
std::optional<std::u16string> active_prog_id(REFCLSID clsid);

}  // namespace comrt::manifest
