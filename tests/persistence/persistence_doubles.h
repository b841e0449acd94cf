// Doubles for the schedule file's tests: stored objects of any class identifier that remember the
// leaf elements they read and write them back, registered in the process for the length of a
// test; and helpers to read and write files.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <set>

#include "XMLArchive.h"
#include "fakes/transfer_queue_mocks.h"
#include "persistence/xml_archive.h"
#include "scheduler/scheduler_doubles.h"

namespace persist_test {

using comrt::com_ptr;
using fields = std::vector<std::pair<std::u16string, std::u16string>>;

// How the objects of one registered class behave.
struct stored_script {
  bool serializable = true;  // answers IXMLArchiveSerializable
  HRESULT serialize = S_OK;  // what Serialize returns after reading or writing
  fields write;              // what a new object writes (objects read from a file write what they read)
};

template <class Kind>
class StoredObject final : public comrt::implements<StoredObject<Kind>, Kind, IXMLArchiveSerializable, IPersist> {
  using base = comrt::implements<StoredObject<Kind>, Kind, IXMLArchiveSerializable, IPersist>;

 public:
  StoredObject(CLSID clsid, std::shared_ptr<stored_script> script)
      : clsid(clsid), script(std::move(script)), values(this->script->write) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) {
    if (!script->serializable && riid == IID_IXMLArchiveSerializable) return *ppv = nullptr, E_NOINTERFACE;
    return base::QueryInterface(riid, ppv);
  }
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* out) { return *out = clsid, S_OK; }
  // Reading records every child element with its text; writing writes them back in that order.
  HRESULT STDMETHODCALLTYPE Serialize(IXMLArchive* archive, IXMLDOMNode* node) {
    return comrt::boundary([&] {
      if (archive->IsLoading() != S_OK) {
        for (const auto& [name, text] : values) {
          comrt::variant v(text);
          comrt::check_hresult(archive->ExchangeValue(node, name.c_str(), &v));
        }
        return script->serialize;
      }
      values.clear();
      com_ptr<IXMLDOMNode> child, next;
      for (node->get_firstChild(child.put()); child; child = next) {
        DOMNodeType type;
        comrt::bstr name, text;
        if (child->get_nodeType(&type) == S_OK && type == NODE_ELEMENT && child->get_nodeName(name.put()) == S_OK &&
            child->get_text(text.put()) == S_OK)
          values.emplace_back(name.str(), text.str());
        next.reset();
        child->get_nextSibling(next.put());
      }
      return script->serialize;
    });
  }

  // The members of each kind, never used by the file. Each kind overrides only its own, so no member
  // of the template says `override` (a compiler would see the others as inconsistent).
  HRESULT STDMETHODCALLTYPE get_Name(BSTR*) { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE ToString(BSTR*) { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE IsSet() { return S_FALSE; }
  HRESULT STDMETHODCALLTYPE Next() { return S_OK; }
  HRESULT STDMETHODCALLTYPE Run(IUnknown*) { return S_OK; }
  HRESULT STDMETHODCALLTYPE Clone(Kind**) { return E_NOTIMPL; }

  const CLSID clsid;
  const std::shared_ptr<stored_script> script;
  fields values;
};

// A class registered in the process while the object lives.
template <class Kind>
struct registered_class {
  explicit registered_class(CLSID clsid, stored_script s = {})
      : factory(fakes::make_mock<fakes::MockClassFactory>([clsid, script = std::make_shared<stored_script>(s)] {
          return comrt::make<StoredObject<Kind>>(clsid, script).template as<IUnknown>();
        })),
        guard(clsid, factory.get()) {}
  const fakes::mock_ptr<fakes::MockClassFactory> factory;
  const fakes::registered_class guard;
};

using stored_trigger_class = registered_class<IScheduleTrigger>;
using stored_action_class = registered_class<IScheduleAction>;

template <class Kind>
com_ptr<StoredObject<Kind>> stored(CLSID clsid, fields values) {
  return comrt::make<StoredObject<Kind>>(clsid, std::make_shared<stored_script>(stored_script{true, S_OK, std::move(values)}));
}

inline std::vector<com_ptr<IScheduleItem>> items_in(IScheduler* s) {
  std::vector<com_ptr<IScheduleItem>> out;
  com_ptr<IScheduleItems> items;
  EXPECT_EQ(s->get_Items(items.put()), S_OK);
  for (LONG i = 0, n = fakes::count_of(items.get()); i < n; ++i) items->get_Item(i, out.emplace_back().put());
  return out;
}

inline std::u16string name_of(IScheduleItem* item) {
  comrt::bstr name;
  return item->get_Name(name.put()), name.str();
}

// An object's element as the archive writes it.
inline std::u16string written_element(const char16_t* name, IUnknown* object) {
  auto archive = comrt::make<tolvane::CXMLArchive>();
  archive->SetMode(XMLARCHIVE_MODE_STORE);
  com_ptr<IXMLDOMNode> root, element;
  archive->CreateDocument(nullptr, root.put());
  EXPECT_EQ(archive->ExchangeObject(root.get(), name, object), S_OK);
  root->selectSingleNode(comrt::bstr(name).get(), element.put());
  comrt::bstr xml;
  element->get_xml(xml.put());
  return xml.str();
}

// Lets an object read the element `name` of the document `xml`.
inline HRESULT read_element(const std::u16string& xml, const char16_t* name, IUnknown* object) {
  auto archive = comrt::make<tolvane::CXMLArchive>();
  com_ptr<IXMLDOMDocument> doc;
  archive->GetDocument(doc.put());
  VARIANT_BOOL ok = VARIANT_FALSE;
  EXPECT_EQ(doc.as<IXMLDOMDocument2>()->loadXML(comrt::bstr(xml).get(), &ok), S_OK);
  archive->SetMode(XMLARCHIVE_MODE_LOAD);
  return archive->ExchangeObject(doc.as<IXMLDOMNode>().get(), name, object);
}

inline std::string read_file(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}
inline void write_file(const std::filesystem::path& p, std::string_view text) {
  std::ofstream(p, std::ios::binary | std::ios::trunc) << text;
}

inline comrt::bstr text_of(const std::filesystem::path& p) { return comrt::bstr(comrt::to_utf16(p.string())); }

// The files in a folder, by name.
inline std::set<std::string> files_in(const std::filesystem::path& folder) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder)) names.insert(e.path().filename().string());
  return names;
}

}  // namespace persist_test
