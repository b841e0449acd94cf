// The classes that the runtime serves itself, before it looks at the registry.
#pragma once

#include "comrt/object.h"

namespace comrt::xml {

// The class object of CLSID_DOMDocument60; null for any other class.
com_ptr<IUnknown> class_object(REFCLSID clsid);

}  // namespace comrt::xml
