// The persistence interfaces: IXMLArchive, the archive through which an object reads or writes its
// element of an XML document, and IXMLArchiveSerializable, implemented by every object that can be
// stored that way. Other components (the host's transfer queue items) persist themselves inside the
// schedule file through the same interfaces, so their layout is fixed.
#pragma once

#include <comrt/oaidl.h>

// Nodes of the XML document object model; declared with the DOM stand-in.
struct IXMLDOMNode;
struct IXMLDOMDocument;
struct IXMLArchive;

// Directions of an archive (SetMode / GetMode). A new archive has mode -1 (neither).
inline constexpr LONG XMLARCHIVE_MODE_STORE = 0;
inline constexpr LONG XMLARCHIVE_MODE_LOAD = 1;

// Flags of ExchangeValueEx. VT: the element also gets an attribute "vt" holding the value's variant
// type number. BASE64: a string value is taken as a byte buffer and written as base64 text. Other
// bits are ignored.
inline constexpr DWORD XMLARCHIVE_FLAG_VT = 1;
inline constexpr DWORD XMLARCHIVE_FLAG_BASE64 = 2;

// An object that stores itself: Serialize reads or writes the object's values as children of its
// own element `pNode`, in the direction the archive's mode says (IsLoading / IsStoring).
struct IXMLArchiveSerializable : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Serialize(IXMLArchive* pArchive, IXMLDOMNode* pNode) = 0;
};
COMRT_INTERFACE_ID(IXMLArchiveSerializable, IUnknown, 0x896C44C4, 0x172F, 0x446B, 0xB7, 0x03, 0x77, 0xBA, 0x2C,
                   0x47, 0xAC, 0x81)

// The archive. Every exchange operation names a child element of `pParent`: in store mode it
// creates that element, in load mode it takes the first child of that name and detaches it, so
// reading a name again finds the next element of the same name.
struct IXMLArchive : IUnknown {
  // Store: new element with a "clsid" attribute (from IPersist), the object writes into it.
  // Load: the object reads from the first child of that name. The object must exist already.
  virtual HRESULT STDMETHODCALLTYPE ExchangeObject(IXMLDOMNode* pParent, LPCOLESTR pszName, IUnknown* pObject) = 0;
  // Store: element with the value as text. Load: the element's text, converted to the variant's
  // type unless that is VT_EMPTY; on a failed conversion the value is left as it was.
  virtual HRESULT STDMETHODCALLTYPE ExchangeValue(IXMLDOMNode* pParent, LPCOLESTR pszName, VARIANT* pValue) = 0;
  // As ExchangeValue, with XMLARCHIVE_FLAG_* applied when storing (ignored when loading).
  virtual HRESULT STDMETHODCALLTYPE ExchangeValueEx(IXMLDOMNode* pParent, LPCOLESTR pszName, VARIANT* pValue,
                                                    DWORD dwFlags) = 0;
  // A GUID as braced upper-case text.
  virtual HRESULT STDMETHODCALLTYPE ExchangeGuid(IXMLDOMNode* pParent, LPCOLESTR pszName, GUID* pGuid) = 0;
  // Seconds since 1970-01-01 as "YYYY-MM-DDThh:mm:ssZ".
  virtual HRESULT STDMETHODCALLTYPE ExchangeTime(IXMLDOMNode* pParent, LPCOLESTR pszName, ULONGLONG* pValue) = 0;
  // A number of seconds as a period "PYYYY-MM-DDThh:mm:ss" (365-day years, 30-day months).
  virtual HRESULT STDMETHODCALLTYPE ExchangeTimeSpan(IXMLDOMNode* pParent, LPCOLESTR pszName,
                                                     ULONGLONG* pValue) = 0;
  // Store: a new element of that name. Load: the first child of that name, detached.
  virtual HRESULT STDMETHODCALLTYPE GetChildNode(IXMLDOMNode* pParent, LPCOLESTR pszName,
                                                 IXMLDOMNode** ppNode) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetMode(LONG lMode) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMode(LONG* plMode) = 0;
  // A value callers may set and read back; the archive never looks at it.
  virtual HRESULT STDMETHODCALLTYPE SetUserValue(LONG lValue) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetUserValue(LONG* plValue) = 0;
  virtual HRESULT STDMETHODCALLTYPE PutPreserveWhiteSpace(VARIANT_BOOL bPreserve) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetPreserveWhiteSpace(VARIANT_BOOL* pbPreserve) = 0;
  // S_OK in load mode, S_FALSE otherwise.
  virtual HRESULT STDMETHODCALLTYPE IsLoading() = 0;
  // S_OK in store mode, S_FALSE otherwise.
  virtual HRESULT STDMETHODCALLTYPE IsStoring() = 0;
  virtual HRESULT STDMETHODCALLTYPE GetDocument(IXMLDOMDocument** ppDocument) = 0;
  // Starts a new document (XML declaration, then the comment unless it is empty); the root is the
  // document itself.
  virtual HRESULT STDMETHODCALLTYPE CreateDocument(LPCOLESTR pszComment, IXMLDOMNode** ppRoot) = 0;
  virtual HRESULT STDMETHODCALLTYPE Save(VARIANT varDestination) = 0;
  // Loads a document; the root is its last top-level node when that is named "Root" (any case),
  // otherwise the document itself.
  virtual HRESULT STDMETHODCALLTYPE Load(VARIANT varSource, IXMLDOMNode** ppRoot) = 0;
};
COMRT_INTERFACE_ID(IXMLArchive, IUnknown, 0xC67D334F, 0x108B, 0x44A7, 0xBE, 0xEF, 0xCE, 0x66, 0x1A, 0x18, 0xB0,
                   0xD1)
