// Reading and writing the schedule file: the document whose root element "Scheduler" is
// exchanged with the scheduler object through the XML archive.
#pragma once

#include <string>

#include "XMLArchive.h"

namespace tolvane {

// Reads the document at `path` and lets `root` read the root element "Scheduler" from it.
HRESULT load_schedule_file(const std::u16string& path, IXMLArchiveSerializable* root) noexcept;
// Lets `root` write the root element "Scheduler" of a new document and writes it to `path`.
HRESULT save_schedule_file(const std::u16string& path, IXMLArchiveSerializable* root) noexcept;

}  // namespace tolvane
