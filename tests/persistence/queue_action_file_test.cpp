// The queue action's element: which flags are written when, and what a read gives back. The host's
// transfer inside it is read back by the host suite's queue action test.
#include <gtest/gtest.h>

#include "TransferQueue.h"
#include "actions/queue_action.h"
#include "persistence/xml_archive.h"
#include "persistence_doubles.h"

namespace {

using comrt::bstr;
using comrt::com_ptr;
using tolvane::CScheduleQueueAction;
using tolvane::CXMLArchive;

// A stand-in for the host's transfer class, which reading an action needs.
class StoredTransfer final
    : public comrt::implements<StoredTransfer, ITransferQueueItem, IXMLArchiveSerializable, IPersist> {
 public:
  HRESULT STDMETHODCALLTYPE CreateQueueCopy(ITransferQueueItem**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Kind(LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Source(ITransferSourceDescriptor**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE ApplyChangeSet(IFolderTreeChangeSet*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Dependencies(ITransferDependencies**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* id) override {
    *id = CLSID_TransferQueueItem;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Serialize(IXMLArchive* archive, IXMLDOMNode* node) override {
    return tolvane::CXMLDataExchange(archive, node).ExchangeString(u"Source", source);
  }
  std::u16string source;
};

class TransferClass final : public comrt::implements<TransferClass, IClassFactory> {
 public:
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID riid, void** ppv) override {
    return comrt::make<StoredTransfer>()->QueryInterface(riid, ppv);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

struct registered_transfer_class {
  registered_transfer_class() {
    CoRegisterClassObject(CLSID_TransferQueueItem, comrt::make<TransferClass>().as<IUnknown>().get(),
                          CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie);
  }
  ~registered_transfer_class() { CoRevokeClassObject(cookie); }
  DWORD cookie = 0;
};

std::u16string write(CScheduleQueueAction* action) {
  return persist_test::written_element(u"Action", static_cast<IScheduleAction*>(action));
}
HRESULT read(const std::u16string& xml, CScheduleQueueAction* action) {
  return persist_test::read_element(xml, u"Action", static_cast<IScheduleAction*>(action));
}

TEST(QueueActionFile, StoresTheFlagsUnderTheirConditionsAndReadsThemBack) {
  registered_transfer_class host;
  const std::u16string start = u"<Action clsid=\"{EBB2D70B-3677-421E-AE8F-2F181F233E58}\"";
  // content: between the element's tags.
  struct row { VARIANT_BOOL use_folder_tree, depend; const char16_t* content; VARIANT_BOOL use_read, depend_read; } rows[] = {
      {VARIANT_TRUE, VARIANT_FALSE, nullptr, VARIANT_TRUE, VARIANT_FALSE},
      {VARIANT_FALSE, VARIANT_FALSE, u"<UseFolderFree>0</UseFolderFree>", VARIANT_FALSE, VARIANT_FALSE},
      {5, VARIANT_TRUE, u"<UseFolderFree>0</UseFolderFree><DependOnPreviousItem>1</DependOnPreviousItem>",
       VARIANT_FALSE, VARIANT_TRUE},
      {VARIANT_TRUE, 1, u"<DependOnPreviousItem>0</DependOnPreviousItem>", VARIANT_TRUE, VARIANT_FALSE},
  };
  for (const row& r : rows) {
    auto action = comrt::make<CScheduleQueueAction>();
    action->put_UseFolderTree(r.use_folder_tree);
    action->put_DependOnPreviousItem(r.depend);
    const std::u16string xml = write(action.get());
    EXPECT_EQ(xml, r.content ? start + u">" + r.content + u"</Action>" : start + u"/>");

    auto loaded = comrt::make<CScheduleQueueAction>();
    ASSERT_EQ(read(xml, loaded.get()), S_OK);
    VARIANT_BOOL flag = 7;
    loaded->get_UseFolderTree(&flag);
    EXPECT_EQ(flag, r.use_read) << comrt::to_utf8(xml);
    loaded->get_DependOnPreviousItem(&flag);
    EXPECT_EQ(flag, r.depend_read) << comrt::to_utf8(xml);
    com_ptr<IUnknown> item;
    loaded->get_Item(item.put());
    EXPECT_FALSE(item) << "no transfer was stored";
  }
}

TEST(QueueActionFile, WithoutTheHostsTransferClassTheActionCannotBeRead) {
  auto loaded = comrt::make<CScheduleQueueAction>();
  EXPECT_EQ(read(u"<Action><UseFolderFree>0</UseFolderFree></Action>", loaded.get()), REGDB_E_CLASSNOTREG);
}

}  // namespace
