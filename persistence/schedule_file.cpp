#include "persistence/schedule_file.h"

#include <comrt/variant.h>

#include "persistence/xml_archive.h"

namespace tolvane {

namespace {

thread_local std::u16string t_last_error;

// The one place where a failure to load reaches the user as words.
void describe_failure(std::u16string text) { t_last_error = std::move(text); }

// Load with the reason of a failure: the document's own for a document that did not load.
HRESULT load_object(LPCOLESTR name, IUnknown* object, const VARIANT& location, std::u16string* reason) noexcept {
  return comrt::boundary([&]() -> HRESULT {
    if (location.vt == VT_EMPTY) return E_INVALIDARG;
    auto archive = comrt::make<CXMLArchive>();
    comrt::check_hresult(archive->SetMode(XMLARCHIVE_MODE_LOAD));
    comrt::com_ptr<IXMLDOMNode> root;
    if (const HRESULT hr = archive->Load(location, root.put()); FAILED(hr)) {
      if (reason) *reason = archive->load_failure();
      return hr;
    }
    comrt::com_ptr<IXMLDOMNode> element;
    if (root->selectSingleNode(comrt::bstr(name).get(), element.put()) != S_OK) {
      if (reason) *reason = u"The document has no element \"" + std::u16string(name) + u"\" at the top.";
      return E_FAIL;
    }
    return archive->ExchangeObject(root.get(), name, object);
  });
}

}  // namespace

HRESULT LoadXMLObject(LPCOLESTR name, IUnknown* object, const VARIANT& location) noexcept {
  return load_object(name, object, location, nullptr);
}

HRESULT SaveXMLObject(LPCOLESTR name, IUnknown* object, const VARIANT& location) noexcept {
  return comrt::boundary([&]() -> HRESULT {
    if (location.vt == VT_EMPTY) return E_INVALIDARG;
    auto archive = comrt::make<CXMLArchive>();
    comrt::check_hresult(archive->SetMode(XMLARCHIVE_MODE_STORE));
    comrt::com_ptr<IXMLDOMNode> root;
    comrt::check_hresult(archive->CreateDocument(nullptr, root.put()));
    comrt::check_hresult(archive->ExchangeObject(root.get(), name, object));
    return archive->Save(location);
  });
}

HRESULT load_schedule_file(const std::u16string& path, IXMLArchiveSerializable* root) noexcept {
  return comrt::boundary([&] {
    std::u16string reason;
    const HRESULT hr = load_object(u"Scheduler", root, comrt::variant(path), &reason);
    if (FAILED(hr)) {
      describe_failure(u"The schedule file \"" + path + u"\" could not be read" +
                       (reason.empty() ? u"." : u": " + reason));
    } else {
      describe_failure({});
    }
    return hr;
  });
}

HRESULT save_schedule_file(const std::u16string& path, IXMLArchiveSerializable* root) noexcept {
  return comrt::boundary([&] { return SaveXMLObject(u"Scheduler", root, comrt::variant(path)); });
}

std::u16string last_schedule_file_error() { return t_last_error; }

}  // namespace tolvane
