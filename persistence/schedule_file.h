// Loading and saving one object as the root element of an XML document, and the schedule file: the
// document whose root element "Scheduler" is exchanged with the scheduler object.
#pragma once

#include <string>

#include "XMLArchive.h"

namespace tolvane {

// Reads the document at the location (a VT_BSTR path) and lets `object` read the element `name`
// below its root. E_INVALIDARG for an empty location; E_FAIL for a document that does not load or
// has no such element; otherwise the object's own result.
HRESULT LoadXMLObject(LPCOLESTR name, IUnknown* object, const VARIANT& location) noexcept;
// Lets `object` write the element `name` of a new document and, only if that succeeded, writes the
// document to the location.
HRESULT SaveXMLObject(LPCOLESTR name, IUnknown* object, const VARIANT& location) noexcept;

// The schedule file at `path` with the root element "Scheduler". A failure of loading is also
// described in words for the user (see last_schedule_file_error; IScheduler::Load passes it on as
// the error information of the calling thread).
HRESULT load_schedule_file(const std::u16string& path, IXMLArchiveSerializable* root) noexcept;
HRESULT save_schedule_file(const std::u16string& path, IXMLArchiveSerializable* root) noexcept;

// The description of the last failed load of a schedule file on this thread (empty when the last
// one succeeded).
std::u16string last_schedule_file_error();

}  // namespace tolvane
