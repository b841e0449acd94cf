// CXMLArchive: the archive through which every object reads or writes its element of an XML
// document (IXMLArchive), over the runtime's DOM document; and CXMLDataExchange, which binds an
// archive and one element so that a serializer exchanges each named value in one call.
//
// An archive serves one load or one save on one thread and takes no lock.
#pragma once

#include <array>
#include <string>
#include <vector>

#include <comrt/guid.h>
#include <comrt/object.h>
#include <comrt/xmldom.h>
#include <comrt/xmlnative.h>

#include "XMLArchive.h"

namespace tolvane {

class CXMLArchive final : public comrt::implements<CXMLArchive, IXMLArchive> {
 public:
  // Creates the DOM document (synchronous loading, whitespace kept); a failure fails the making.
  HRESULT FinalConstruct();

  HRESULT STDMETHODCALLTYPE ExchangeObject(IXMLDOMNode* pParent, LPCOLESTR pszName, IUnknown* pObject) override;
  HRESULT STDMETHODCALLTYPE ExchangeValue(IXMLDOMNode* pParent, LPCOLESTR pszName, VARIANT* pValue) override;
  HRESULT STDMETHODCALLTYPE ExchangeValueEx(IXMLDOMNode* pParent, LPCOLESTR pszName, VARIANT* pValue,
                                            DWORD dwFlags) override;
  HRESULT STDMETHODCALLTYPE ExchangeGuid(IXMLDOMNode* pParent, LPCOLESTR pszName, GUID* pGuid) override;
  HRESULT STDMETHODCALLTYPE ExchangeTime(IXMLDOMNode* pParent, LPCOLESTR pszName, ULONGLONG* pValue) override;
  HRESULT STDMETHODCALLTYPE ExchangeTimeSpan(IXMLDOMNode* pParent, LPCOLESTR pszName, ULONGLONG* pValue) override;
  HRESULT STDMETHODCALLTYPE GetChildNode(IXMLDOMNode* pParent, LPCOLESTR pszName, IXMLDOMNode** ppNode) override;
  HRESULT STDMETHODCALLTYPE SetMode(LONG lMode) override;
  HRESULT STDMETHODCALLTYPE GetMode(LONG* plMode) override;
  HRESULT STDMETHODCALLTYPE SetUserValue(LONG lValue) override;
  HRESULT STDMETHODCALLTYPE GetUserValue(LONG* plValue) override;
  HRESULT STDMETHODCALLTYPE PutPreserveWhiteSpace(VARIANT_BOOL bPreserve) override;
  HRESULT STDMETHODCALLTYPE GetPreserveWhiteSpace(VARIANT_BOOL* pbPreserve) override;
  HRESULT STDMETHODCALLTYPE IsLoading() override;
  HRESULT STDMETHODCALLTYPE IsStoring() override;
  HRESULT STDMETHODCALLTYPE GetDocument(IXMLDOMDocument** ppDocument) override;
  HRESULT STDMETHODCALLTYPE CreateDocument(LPCOLESTR pszComment, IXMLDOMNode** ppRoot) override;
  HRESULT STDMETHODCALLTYPE Save(VARIANT varDestination) override;
  HRESULT STDMETHODCALLTYPE Load(VARIANT varSource, IXMLDOMNode** ppRoot) override;

  // Why the last Load failed, as the document reported it; empty after a successful one.
  std::u16string load_failure() const;

  // The archive behind `archive` when it is one of this class and `parent` is one of the runtime's
  // own elements, so that values can be exchanged with the typed calls below; null otherwise.
  static CXMLArchive* direct(IXMLArchive* archive, IXMLDOMNode* parent);
  // ExchangeValue of a VT_BSTR, VT_I4 or VT_UI8 value, without the VARIANT: the same text is
  // written, and the same text reads the same value (or fails the same way). `parent` must be an
  // element `direct` accepted.
  HRESULT exchange(IXMLDOMNode* parent, LPCOLESTR name, std::u16string& value);
  HRESULT exchange(IXMLDOMNode* parent, LPCOLESTR name, LONG& value);
  HRESULT exchange(IXMLDOMNode* parent, LPCOLESTR name, ULONGLONG& value);

 private:
  // Store: a new element `name` with the value as text (base64 when asked), appended to parent.
  HRESULT store_value(IXMLDOMNode* parent, LPCOLESTR name, const VARIANT& value, DWORD flags);
  // Load: the text of the first child `name` (detached), converted to the type the caller's value
  // has unless that is VT_EMPTY; the caller's value changes only on success.
  HRESULT load_value(IXMLDOMNode* parent, LPCOLESTR name, VARIANT* value);
  template <class T>
  HRESULT exchange_typed(IXMLDOMNode* parent, LPCOLESTR name, T& value);
  // Load: the text of the first child `name` (detached), as UTF-8 followed by a NUL, viewing the
  // tree or `scratch`; E_FAIL when there is none.
  HRESULT load_text(IXMLDOMNode* parent, LPCOLESTR name, std::string& scratch, std::string_view& text);
  // Store: a new element `name` with `text` (UTF-8) as its one text node, appended to parent.
  HRESULT store_text(IXMLDOMNode* parent, LPCOLESTR name, std::string_view text);
  // Reads a date-time ("") or period ("P") text, the prefix then "YYYY-MM-DDThh:mm:ss", into six
  // numbers; `scanned` is false when they are not all there.
  HRESULT load_fields(IXMLDOMNode* parent, LPCOLESTR name, const char* prefix, unsigned (&fields)[6], bool& scanned);

  // The runtime's own element behind `parent`, when it is one, for working on its tree directly;
  // null otherwise. The last parent asked about is kept (and with it its address), because an
  // object exchanges all its values with one parent.
  IXMLDOMNativeNode* native(IXMLDOMNode* parent);
  // The first child element of `parent` named `name`, moved to the detached nodes; empty when none.
  static pugi::xml_node take_native(IXMLDOMNativeNode* parent, LPCOLESTR name);
  // take_native as a DOM node, for any DOM.
  comrt::com_ptr<IXMLDOMNode> take_element(IXMLDOMNode* parent, LPCOLESTR name);
  // A new last child element of `parent` named `name`; E_INVALIDARG for a name no element can have.
  static pugi::xml_node append_native(IXMLDOMNativeNode* parent, LPCOLESTR name);
  // The text of `clsid` in the braced form.
  const char* clsid_text(const CLSID& clsid);

  comrt::com_ptr<IXMLDOMNode> native_parent_;
  comrt::com_ptr<IXMLDOMNativeNode> native_;
  comrt::com_ptr<IXMLDOMDocument2> document_;
  // The "clsid" texts of the last few classes written: a document holds objects of a few classes.
  struct class_text {
    CLSID clsid = CLSID_NULL;
    char text[comrt::guid_text_size] = "{00000000-0000-0000-0000-000000000000}";
  };
  std::array<class_text, 8> class_texts_;
  size_t next_class_text_ = 0;
  LONG mode_ = -1;
  LONG user_value_ = 0;
};

// Runs an object's Serialize, turning whatever it throws into its status.
HRESULT serialize_object(IXMLArchiveSerializable* object, IXMLArchive* archive, IXMLDOMNode* node) noexcept;

// The children of `parent` named `name` that carry a "clsid" attribute, in document order, with the
// class the attribute names as CLSIDFromString reads it (its status, and the class when that is
// S_OK); they stay in place. Collections create their members from them.
struct object_element {
  comrt::com_ptr<IXMLDOMNode> node;
  HRESULT status;
  CLSID clsid;
};
std::vector<object_element> object_elements(IXMLDOMNode* parent, std::u16string_view name);

// Base64 of a byte buffer with the archive's line breaking: CR LF after every 76 characters except
// at the very end, where one is written only when the input is a positive multiple of 57 bytes.
std::string base64_lines(const unsigned char* data, size_t size);

class CXMLDataExchange {
 public:
  CXMLDataExchange(IXMLArchive* archive, IXMLDOMNode* node)
      : archive_(archive), node_(node), direct_(CXMLArchive::direct(archive, node)) {}
  virtual ~CXMLDataExchange() = default;

  bool loading() const { return archive_->IsLoading() == S_OK; }
  IXMLArchive* archive() const noexcept { return archive_; }
  IXMLDOMNode* node() const noexcept { return node_.get(); }

  // The archive's ExchangeValue on the bound element; VARIANT_TRUE travels as 1.
  HRESULT ExchangeValue(LPCOLESTR name, VARIANT* value);
  // A text member; on loading replaced only by a successful read.
  HRESULT ExchangeString(LPCOLESTR name, std::u16string& value);
  // A FILETIME member as one unsigned 64-bit number.
  HRESULT ExchangeFileTime(LPCOLESTR name, ULONGLONG& value);
  // A 32-bit integer member (VT_I4).
  HRESULT ExchangeLong(LPCOLESTR name, LONG& value);
  // A flag member: written as "1" for VARIANT_TRUE and "0" for anything else; read as VARIANT_TRUE
  // for any non-zero integer.
  HRESULT ExchangeFlag(LPCOLESTR name, VARIANT_BOOL& value);

 private:
  template <class T, class V>
  HRESULT exchange_as(LPCOLESTR name, T& value, V as_variant);

  IXMLArchive* archive_;  // borrowed for the one Serialize call
  comrt::com_ptr<IXMLDOMNode> node_;
  CXMLArchive* direct_;  // archive_ when values go to it without VARIANTs
};

}  // namespace tolvane
