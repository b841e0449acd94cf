#include "persistence/schedule_file.h"

namespace tolvane {

// The XML archive is not part of this library yet: the schedule file can be neither read nor
// written.
HRESULT load_schedule_file(const std::u16string&, IXMLArchiveSerializable*) noexcept { return E_NOTIMPL; }
HRESULT save_schedule_file(const std::u16string&, IXMLArchiveSerializable*) noexcept { return E_NOTIMPL; }

}  // namespace tolvane
