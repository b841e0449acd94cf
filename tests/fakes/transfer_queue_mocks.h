// GoogleMock doubles of the host's transfer-queue objects (TransferQueue.h) and a host made of
// them. Each double is a NiceMock whose defaults work like a small host and record what they
// receive, so a test states only what it checks; an EXPECT_CALL takes precedence (to count, to
// check arguments or to fail on demand: WillOnce(Return(code)).WillRepeatedly(DoDefault())).
//
//   fakes::transfer_host host;                    // a queue behind a service provider, a template
//   action->put_Item(host.template_item.get());   // transfer that hands out a new copy per run,
//   action->Run(host.provider.get());             // folder-tree classes registered in the process
//   host.queue->queued.get()                      // what reached the queue, in order
#pragma once

#include <gmock/gmock.h>

#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <comrt/object.h>
#include <comrt/ocidl.h>
#include <comrt/variant.h>

#include "TransferQueue.h"

namespace fakes {

// The most derived class of a double M: M derives from comrt::implements<nice<M>, ...>.
template <class M>
class nice final : public ::testing::NiceMock<M> {
 public:
  using ::testing::NiceMock<M>::NiceMock;
};

template <class M>
using mock_ptr = comrt::com_ptr<nice<M>>;

template <class M, class... A>
mock_ptr<M> make_mock(A&&... args) {
  return comrt::make<nice<M>>(std::forward<A>(args)...);
}

// The object's identity (its IUnknown), to compare objects reached through different interfaces.
template <class T>
comrt::com_ptr<IUnknown> identity(const comrt::com_ptr<T>& p) {
  return p ? p.template as<IUnknown>() : nullptr;
}

// What a double's default actions received, readable from any thread.
template <class T>
class record {
 public:
  void add(T value) { std::lock_guard g(m_); values_.push_back(std::move(value)); }
  std::vector<T> get() const { std::lock_guard g(m_); return values_; }

 private:
  mutable std::mutex m_;
  std::vector<T> values_;
};

// Actions: hand out an object (or null), a new BSTR or a value through the out-parameter.
template <class T>
auto hand_out(comrt::com_ptr<T> object) {
  return [object](auto** out) { return object.copy_to(out), S_OK; };
}
inline auto hand_out_text(std::u16string text) {
  return [text](BSTR* out) { return *out = comrt::bstr(text).detach(), S_OK; };
}
template <class T>
auto hand_out_value(T value) {
  return ::testing::DoAll(::testing::SetArgPointee<0>(value), ::testing::Return(S_OK));
}

class MockChangeSet : public comrt::implements<nice<MockChangeSet>, IFolderTreeChangeSet> {
 public:
  explicit MockChangeSet(VARIANT_BOOL empty = VARIANT_FALSE) {
    ON_CALL(*this, get_IsEmpty).WillByDefault(hand_out_value(empty));
  }
  MOCK_METHOD(HRESULT, get_IsEmpty, (VARIANT_BOOL * pVal), (override));
};

class MockDependencies : public comrt::implements<nice<MockDependencies>, ITransferDependencies> {
 public:
  MockDependencies() {
    ON_CALL(*this, Add).WillByDefault([this](ITransferQueueItem* item) { return added.add(item), S_OK; });
  }
  MOCK_METHOD(HRESULT, Add, (ITransferQueueItem * pItem), (override));
  record<comrt::com_ptr<ITransferQueueItem>> added;
};

class MockSourceDescriptor
    : public comrt::implements<nice<MockSourceDescriptor>, ITransferSourceDescriptor> {
 public:
  MockSourceDescriptor(LONG mode, std::u16string path) {
    ON_CALL(*this, get_Mode).WillByDefault(hand_out_value(mode));
    ON_CALL(*this, get_Path).WillByDefault(hand_out_text(std::move(path)));
  }
  MOCK_METHOD(HRESULT, get_Mode, (LONG * pVal), (override));
  MOCK_METHOD(HRESULT, get_Path, (BSTR * pVal), (override));
};

// A transfer of the given kind and source. CreateQueueCopy makes a new plain transfer each time
// (recorded in copies); get_Dependencies hands out its own `dependencies`.
class MockTransferQueueItem : public comrt::implements<nice<MockTransferQueueItem>, ITransferQueueItem> {
 public:
  explicit MockTransferQueueItem(LONG kind = 1, mock_ptr<MockSourceDescriptor> source_descriptor = nullptr)
      : source(std::move(source_descriptor)) {
    ON_CALL(*this, CreateQueueCopy).WillByDefault([this](ITransferQueueItem** out) {
      const auto copy = make_mock<MockTransferQueueItem>();
      return copies.add(copy), copy.copy_to(out), S_OK;
    });
    ON_CALL(*this, get_Kind).WillByDefault(hand_out_value(kind));
    ON_CALL(*this, get_Source).WillByDefault(hand_out(source));
    ON_CALL(*this, get_Dependencies).WillByDefault(hand_out(dependencies));
    ON_CALL(*this, ApplyChangeSet).WillByDefault([this](IFolderTreeChangeSet* c) { return applied.add(c), S_OK; });
  }
  MOCK_METHOD(HRESULT, CreateQueueCopy, (ITransferQueueItem * *ppCopy), (override));
  MOCK_METHOD(HRESULT, get_Kind, (LONG * pVal), (override));
  MOCK_METHOD(HRESULT, get_Source, (ITransferSourceDescriptor * *pVal), (override));
  MOCK_METHOD(HRESULT, ApplyChangeSet, (IFolderTreeChangeSet * pChanges), (override));
  MOCK_METHOD(HRESULT, get_Dependencies, (ITransferDependencies * *pVal), (override));

  const mock_ptr<MockSourceDescriptor> source;
  const mock_ptr<MockDependencies> dependencies = make_mock<MockDependencies>();
  record<mock_ptr<MockTransferQueueItem>> copies;
  record<comrt::com_ptr<IFolderTreeChangeSet>> applied;
};

// A transfer in the queue, and where it went in.
struct queued_transfer {
  comrt::com_ptr<ITransferQueueItem> item;
  bool at_head = false;
};

class MockTransferQueue : public comrt::implements<nice<MockTransferQueue>, ITransferQueue> {
 public:
  MockTransferQueue() {
    ON_CALL(*this, InsertHead).WillByDefault([this](ITransferQueueItem* item) { return queued.add({item, true}), S_OK; });
    ON_CALL(*this, InsertTail).WillByDefault([this](ITransferQueueItem* item) { return queued.add({item, false}), S_OK; });
  }
  MOCK_METHOD(HRESULT, InsertHead, (ITransferQueueItem * pItem), (override));
  MOCK_METHOD(HRESULT, InsertTail, (ITransferQueueItem * pItem), (override));
  record<queued_transfer> queued;
};

// The host's service provider (its site): offers `queue` as SID_TransferQueue and nothing else.
class MockServiceProvider : public comrt::implements<nice<MockServiceProvider>, IServiceProvider> {
 public:
  explicit MockServiceProvider(comrt::com_ptr<ITransferQueue> offered) : queue(std::move(offered)) {
    ON_CALL(*this, QueryService).WillByDefault([this](REFGUID service, REFIID riid, void** ppv) -> HRESULT {
      *ppv = nullptr;
      if (!(service == SID_TransferQueue)) return E_NOINTERFACE;
      return queue->QueryInterface(riid, ppv);
    });
  }
  MOCK_METHOD(HRESULT, QueryService, (REFGUID guidService, REFIID riid, void** ppv), (override));
  const comrt::com_ptr<ITransferQueue> queue;
};

class MockFolderTree : public comrt::implements<nice<MockFolderTree>, IFolderTree> {
 public:
  MockFolderTree() {
    ON_CALL(*this, Load).WillByDefault([this](BSTR path) { return loaded.add(std::u16string(comrt::bstr_view(path))), S_OK; });
  }
  MOCK_METHOD(HRESULT, Load, (BSTR bstrPath), (override));
  record<std::u16string> loaded;
};

// One comparison: the snapshots compared, in argument order.
struct comparison {
  comrt::com_ptr<IFolderTree> previous;
  comrt::com_ptr<IFolderTree> current;
};

// Compare hands out `changes` (which may be null) and reports the comparison to `report`.
class MockFolderTreeComparer
    : public comrt::implements<nice<MockFolderTreeComparer>, IFolderTreeComparer> {
 public:
  explicit MockFolderTreeComparer(comrt::com_ptr<IFolderTreeChangeSet> changes = nullptr,
                                  std::function<void(comparison)> report = nullptr) {
    ON_CALL(*this, Compare).WillByDefault([changes, report](IFolderTree* previous, IFolderTree* current,
                                                            IFolderTreeChangeSet** out) {
      if (report) report({comrt::com_ptr<IFolderTree>(previous), comrt::com_ptr<IFolderTree>(current)});
      changes.copy_to(out);
      return S_OK;
    });
  }
  MOCK_METHOD(HRESULT, Compare, (IFolderTree * pPrevious, IFolderTree* pCurrent, IFolderTreeChangeSet** ppChanges),
              (override));
};

// The class object of a host class: CreateInstance asks `make` for a new object (recorded in made).
class MockClassFactory : public comrt::implements<nice<MockClassFactory>, IClassFactory> {
 public:
  explicit MockClassFactory(std::function<comrt::com_ptr<IUnknown>()> make) {
    ON_CALL(*this, CreateInstance).WillByDefault([this, make](IUnknown*, REFIID riid, void** ppv) {
      comrt::com_ptr<IUnknown> object = make();
      made.add(object);
      return object->QueryInterface(riid, ppv);
    });
  }
  MOCK_METHOD(HRESULT, CreateInstance, (IUnknown * pUnkOuter, REFIID riid, void** ppv), (override));
  MOCK_METHOD(HRESULT, LockServer, (BOOL fLock), (override));
  record<comrt::com_ptr<IUnknown>> made;
};

// A class object registered in the process for as long as the guard lives.
class registered_class {
 public:
  registered_class(REFCLSID clsid, IUnknown* factory) {
    EXPECT_EQ(CoRegisterClassObject(clsid, factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie_), S_OK);
  }
  ~registered_class() { CoRevokeClassObject(cookie_); }

 private:
  DWORD cookie_ = 0;
};

// A transfer whose source is a folder: by default a folder transfer, whose tree an action compares.
inline mock_ptr<MockTransferQueueItem> folder_transfer(std::u16string path, LONG kind = TRANSFER_ITEM_KIND_FOLDER,
                                                       LONG mode = TRANSFER_SOURCE_MODE_FOLDER) {
  return make_mock<MockTransferQueueItem>(kind, make_mock<MockSourceDescriptor>(mode, std::move(path)));
}

// A host: a queue behind a service provider, a template transfer (a plain one unless given), and
// the folder-tree classes registered in the process (so one host at a time). Comparers hand out
// `changes` as it is when they are made: by default a change set that is not empty, so every run
// queues; an empty change set means "nothing changed".
struct transfer_host {
  transfer_host() = default;
  explicit transfer_host(mock_ptr<MockTransferQueueItem> transfer) : template_item(std::move(transfer)) {}

  std::vector<queued_transfer> queued() const { return queue->queued.get(); }
  std::vector<comrt::com_ptr<IUnknown>> snapshots() const { return folder_tree_class->made.get(); }

  const mock_ptr<MockTransferQueue> queue = make_mock<MockTransferQueue>();
  const mock_ptr<MockServiceProvider> provider = make_mock<MockServiceProvider>(queue);
  const mock_ptr<MockTransferQueueItem> template_item = make_mock<MockTransferQueueItem>();
  comrt::com_ptr<IFolderTreeChangeSet> changes = make_mock<MockChangeSet>(VARIANT_FALSE);
  record<comparison> comparisons;

  const mock_ptr<MockClassFactory> folder_tree_class =
      make_mock<MockClassFactory>([] { return comrt::com_ptr<IUnknown>(make_mock<MockFolderTree>()); });
  const mock_ptr<MockClassFactory> comparer_class = make_mock<MockClassFactory>([this] {
    return comrt::com_ptr<IUnknown>(
        make_mock<MockFolderTreeComparer>(changes, [this](comparison c) { comparisons.add(std::move(c)); }));
  });

 private:
  registered_class folder_tree_registration_{CLSID_FolderTree, folder_tree_class.get()};
  registered_class comparer_registration_{CLSID_FolderTreeComparer, comparer_class.get()};
};

}  // namespace fakes
