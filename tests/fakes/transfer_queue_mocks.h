// GoogleMock doubles of the host's transfer-queue objects (TransferQueue.h) and a host made of
// them. Every double answers every call with a working default and allows any number of calls, so
// a test states only what it checks: an EXPECT_CALL of its own takes precedence (to count, to
// check arguments or to fail on demand; add RetiresOnSaturation when later calls should find the
// default again).
//
//   fakes::transfer_host host;                    // a queue behind a service provider, a template
//   action->put_Item(host.template_item.get());   // transfer that hands out a new copy per run,
//   action->Run(host.provider.get());             // folder-tree classes registered in the process
//   host.queued()                                 // what reached the queue, in order
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

// An action for a mocked out-parameter: hands out `object` (which may be null) with a reference
// of its own.
template <class T>
auto hand_out(comrt::com_ptr<T> object) {
  return [object](auto** out) {
    object.copy_to(out);
    return S_OK;
  };
}

// An action for a mocked BSTR out-parameter: hands out a new copy of `text`.
inline auto hand_out_text(std::u16string text) {
  return [text](BSTR* out) {
    *out = comrt::bstr(text).detach();
    return S_OK;
  };
}

// An action for a mocked IClassFactory::CreateInstance: hands out `object`.
template <class T>
auto creates(comrt::com_ptr<T> object) {
  return [object](IUnknown*, REFIID riid, void** ppv) { return object->QueryInterface(riid, ppv); };
}

class MockChangeSet final : public comrt::implements<MockChangeSet, IFolderTreeChangeSet> {
 public:
  explicit MockChangeSet(VARIANT_BOOL empty = VARIANT_FALSE) {
    using namespace ::testing;
    ON_CALL(*this, get_IsEmpty).WillByDefault(DoAll(SetArgPointee<0>(empty), Return(S_OK)));
    EXPECT_CALL(*this, get_IsEmpty).Times(AnyNumber());
  }
  MOCK_METHOD(HRESULT, get_IsEmpty, (VARIANT_BOOL * pVal), (override));
};

// The default Add keeps the transfer in added().
class MockDependencies final : public comrt::implements<MockDependencies, ITransferDependencies> {
 public:
  MockDependencies() {
    ON_CALL(*this, Add).WillByDefault([this](ITransferQueueItem* item) {
      std::lock_guard g(m_);
      added_.emplace_back(item);
      return S_OK;
    });
    EXPECT_CALL(*this, Add).Times(::testing::AnyNumber());
  }
  MOCK_METHOD(HRESULT, Add, (ITransferQueueItem * pItem), (override));

  std::vector<comrt::com_ptr<ITransferQueueItem>> added() {
    std::lock_guard g(m_);
    return added_;
  }

 private:
  std::mutex m_;
  std::vector<comrt::com_ptr<ITransferQueueItem>> added_;
};

class MockSourceDescriptor final : public comrt::implements<MockSourceDescriptor, ITransferSourceDescriptor> {
 public:
  MockSourceDescriptor(LONG mode, std::u16string path) {
    using namespace ::testing;
    ON_CALL(*this, get_Mode).WillByDefault(DoAll(SetArgPointee<0>(mode), Return(S_OK)));
    ON_CALL(*this, get_Path).WillByDefault(hand_out_text(std::move(path)));
    EXPECT_CALL(*this, get_Mode).Times(AnyNumber());
    EXPECT_CALL(*this, get_Path).Times(AnyNumber());
  }
  MOCK_METHOD(HRESULT, get_Mode, (LONG * pVal), (override));
  MOCK_METHOD(HRESULT, get_Path, (BSTR * pVal), (override));
};

// A transfer. By default CreateQueueCopy makes a new MockTransferQueueItem and keeps it in
// copies(); get_Kind and get_Source answer what the constructor was given; get_Dependencies hands
// out the item's own `dependencies`; ApplyChangeSet keeps the set in applied().
class MockTransferQueueItem final : public comrt::implements<MockTransferQueueItem, ITransferQueueItem> {
 public:
  explicit MockTransferQueueItem(LONG kind = 1, comrt::com_ptr<MockSourceDescriptor> source_descriptor = nullptr)
      : source(std::move(source_descriptor)) {
    using namespace ::testing;
    ON_CALL(*this, CreateQueueCopy).WillByDefault([this](ITransferQueueItem** out) {
      auto copy = comrt::make<MockTransferQueueItem>();
      {
        std::lock_guard g(m_);
        copies_.push_back(copy);
      }
      copy.copy_to(out);
      return S_OK;
    });
    ON_CALL(*this, get_Kind).WillByDefault(DoAll(SetArgPointee<0>(kind), Return(S_OK)));
    ON_CALL(*this, get_Source).WillByDefault(hand_out(source));
    ON_CALL(*this, get_Dependencies).WillByDefault(hand_out(dependencies));
    ON_CALL(*this, ApplyChangeSet).WillByDefault([this](IFolderTreeChangeSet* changes) {
      std::lock_guard g(m_);
      applied_.emplace_back(changes);
      return S_OK;
    });
    EXPECT_CALL(*this, CreateQueueCopy).Times(AnyNumber());
    EXPECT_CALL(*this, get_Kind).Times(AnyNumber());
    EXPECT_CALL(*this, get_Source).Times(AnyNumber());
    EXPECT_CALL(*this, ApplyChangeSet).Times(AnyNumber());
    EXPECT_CALL(*this, get_Dependencies).Times(AnyNumber());
  }
  MOCK_METHOD(HRESULT, CreateQueueCopy, (ITransferQueueItem * *ppCopy), (override));
  MOCK_METHOD(HRESULT, get_Kind, (LONG * pVal), (override));
  MOCK_METHOD(HRESULT, get_Source, (ITransferSourceDescriptor * *pVal), (override));
  MOCK_METHOD(HRESULT, ApplyChangeSet, (IFolderTreeChangeSet * pChanges), (override));
  MOCK_METHOD(HRESULT, get_Dependencies, (ITransferDependencies * *pVal), (override));

  std::vector<comrt::com_ptr<MockTransferQueueItem>> copies() {
    std::lock_guard g(m_);
    return copies_;
  }
  std::vector<comrt::com_ptr<IFolderTreeChangeSet>> applied() {
    std::lock_guard g(m_);
    return applied_;
  }

  const comrt::com_ptr<MockSourceDescriptor> source;
  const comrt::com_ptr<MockDependencies> dependencies = comrt::make<MockDependencies>();

 private:
  std::mutex m_;
  std::vector<comrt::com_ptr<MockTransferQueueItem>> copies_;
  std::vector<comrt::com_ptr<IFolderTreeChangeSet>> applied_;
};

// A transfer in the queue, and where it went in.
struct queued_transfer {
  comrt::com_ptr<ITransferQueueItem> item;
  bool at_head = false;
};

// The default InsertHead and InsertTail keep what they receive in queued().
class MockTransferQueue final : public comrt::implements<MockTransferQueue, ITransferQueue> {
 public:
  MockTransferQueue() {
    ON_CALL(*this, InsertHead).WillByDefault([this](ITransferQueueItem* item) { return insert(item, true); });
    ON_CALL(*this, InsertTail).WillByDefault([this](ITransferQueueItem* item) { return insert(item, false); });
    EXPECT_CALL(*this, InsertHead).Times(::testing::AnyNumber());
    EXPECT_CALL(*this, InsertTail).Times(::testing::AnyNumber());
  }
  MOCK_METHOD(HRESULT, InsertHead, (ITransferQueueItem * pItem), (override));
  MOCK_METHOD(HRESULT, InsertTail, (ITransferQueueItem * pItem), (override));

  std::vector<queued_transfer> queued() {
    std::lock_guard g(m_);
    return queued_;
  }

 private:
  HRESULT insert(ITransferQueueItem* item, bool at_head) {
    std::lock_guard g(m_);
    queued_.push_back({comrt::com_ptr<ITransferQueueItem>(item), at_head});
    return S_OK;
  }
  std::mutex m_;
  std::vector<queued_transfer> queued_;
};

// A service provider (the host's site) that offers `queue` as SID_TransferQueue and nothing else.
class MockServiceProvider final : public comrt::implements<MockServiceProvider, IServiceProvider> {
 public:
  explicit MockServiceProvider(comrt::com_ptr<ITransferQueue> offered) : queue(std::move(offered)) {
    ON_CALL(*this, QueryService).WillByDefault([this](REFGUID service, REFIID riid, void** ppv) -> HRESULT {
      *ppv = nullptr;
      if (!(service == SID_TransferQueue) || !queue) return E_NOINTERFACE;
      return queue->QueryInterface(riid, ppv);
    });
    EXPECT_CALL(*this, QueryService).Times(::testing::AnyNumber());
  }
  MOCK_METHOD(HRESULT, QueryService, (REFGUID guidService, REFIID riid, void** ppv), (override));

  const comrt::com_ptr<ITransferQueue> queue;
};

// A snapshot: the default Load keeps the path in loaded().
class MockFolderTree final : public comrt::implements<MockFolderTree, IFolderTree> {
 public:
  MockFolderTree() {
    ON_CALL(*this, Load).WillByDefault([this](BSTR path) {
      std::lock_guard g(m_);
      loaded_ = comrt::bstr_view(path);
      return S_OK;
    });
    EXPECT_CALL(*this, Load).Times(::testing::AnyNumber());
  }
  MOCK_METHOD(HRESULT, Load, (BSTR bstrPath), (override));

  std::u16string loaded() {
    std::lock_guard g(m_);
    return loaded_;
  }

 private:
  std::mutex m_;
  std::u16string loaded_;
};

// One comparison: the snapshots compared, in argument order.
struct comparison {
  comrt::com_ptr<IFolderTree> previous;
  comrt::com_ptr<IFolderTree> current;
};

// A comparer. The default Compare reports the comparison to `record` (when set) and hands out
// `changes` (which may be null).
class MockFolderTreeComparer final : public comrt::implements<MockFolderTreeComparer, IFolderTreeComparer> {
 public:
  explicit MockFolderTreeComparer(comrt::com_ptr<IFolderTreeChangeSet> changes = nullptr,
                                  std::function<void(comparison)> record = nullptr) {
    ON_CALL(*this, Compare)
        .WillByDefault([changes, record](IFolderTree* previous, IFolderTree* current, IFolderTreeChangeSet** out) {
          if (record) record({comrt::com_ptr<IFolderTree>(previous), comrt::com_ptr<IFolderTree>(current)});
          changes.copy_to(out);
          return S_OK;
        });
    EXPECT_CALL(*this, Compare).Times(::testing::AnyNumber());
  }
  MOCK_METHOD(HRESULT, Compare, (IFolderTree * pPrevious, IFolderTree* pCurrent, IFolderTreeChangeSet** ppChanges),
              (override));
};

// The class object of a host class: the default CreateInstance asks `make` for a new object and
// keeps it in made().
class MockClassFactory final : public comrt::implements<MockClassFactory, IClassFactory> {
 public:
  explicit MockClassFactory(std::function<comrt::com_ptr<IUnknown>()> make) {
    using namespace ::testing;
    ON_CALL(*this, CreateInstance).WillByDefault([this, make](IUnknown*, REFIID riid, void** ppv) {
      *ppv = nullptr;
      comrt::com_ptr<IUnknown> object = make();
      {
        std::lock_guard g(m_);
        made_.push_back(object);
      }
      return object->QueryInterface(riid, ppv);
    });
    ON_CALL(*this, LockServer).WillByDefault(Return(S_OK));
    EXPECT_CALL(*this, CreateInstance).Times(AnyNumber());
    EXPECT_CALL(*this, LockServer).Times(AnyNumber());
  }
  MOCK_METHOD(HRESULT, CreateInstance, (IUnknown * pUnkOuter, REFIID riid, void** ppv), (override));
  MOCK_METHOD(HRESULT, LockServer, (BOOL fLock), (override));

  std::vector<comrt::com_ptr<IUnknown>> made() {
    std::lock_guard g(m_);
    return made_;
  }

 private:
  std::mutex m_;
  std::vector<comrt::com_ptr<IUnknown>> made_;
};

// A class object registered in the process for as long as the guard lives.
class registered_class {
 public:
  registered_class(REFCLSID clsid, IUnknown* factory) {
    EXPECT_EQ(CoRegisterClassObject(clsid, factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie_), S_OK);
  }
  ~registered_class() { CoRevokeClassObject(cookie_); }
  registered_class(const registered_class&) = delete;
  registered_class& operator=(const registered_class&) = delete;

 private:
  DWORD cookie_ = 0;
};

// A transfer whose source is a folder: by default a folder transfer, the kind whose folder tree a
// queue action compares.
inline comrt::com_ptr<MockTransferQueueItem> folder_transfer(std::u16string path, LONG kind = TRANSFER_ITEM_KIND_FOLDER,
                                                             LONG mode = TRANSFER_SOURCE_MODE_FOLDER) {
  return comrt::make<MockTransferQueueItem>(kind, comrt::make<MockSourceDescriptor>(mode, std::move(path)));
}

// A complete host: a queue behind a service provider, a template transfer (a plain one unless
// given), and the folder-tree classes registered in the process (so one host at a time). Comparers
// hand out `changes` as it is when they are made: by default a change set that is not empty, so
// every run queues; set it to an empty change set for "nothing changed", or to null.
struct transfer_host {
  transfer_host() = default;
  explicit transfer_host(comrt::com_ptr<MockTransferQueueItem> transfer) : template_item(std::move(transfer)) {}

  std::vector<queued_transfer> queued() { return queue->queued(); }
  std::vector<comparison> comparisons() {
    std::lock_guard g(m_);
    return comparisons_;
  }
  // The snapshots made so far, in order.
  std::vector<comrt::com_ptr<IUnknown>> snapshots() { return folder_tree_class->made(); }

  const comrt::com_ptr<MockTransferQueue> queue = comrt::make<MockTransferQueue>();
  const comrt::com_ptr<MockServiceProvider> provider = comrt::make<MockServiceProvider>(queue);
  const comrt::com_ptr<MockTransferQueueItem> template_item = comrt::make<MockTransferQueueItem>();
  comrt::com_ptr<IFolderTreeChangeSet> changes = comrt::make<MockChangeSet>(VARIANT_FALSE);

  const comrt::com_ptr<MockClassFactory> folder_tree_class =
      comrt::make<MockClassFactory>([] { return comrt::com_ptr<IUnknown>(comrt::make<MockFolderTree>()); });
  const comrt::com_ptr<MockClassFactory> comparer_class = comrt::make<MockClassFactory>([this] {
    return comrt::com_ptr<IUnknown>(comrt::make<MockFolderTreeComparer>(changes, [this](comparison c) {
      std::lock_guard g(m_);
      comparisons_.push_back(std::move(c));
    }));
  });

 private:
  std::mutex m_;
  std::vector<comparison> comparisons_;
  registered_class folder_tree_registration_{CLSID_FolderTree, folder_tree_class.get()};
  registered_class comparer_registration_{CLSID_FolderTreeComparer, comparer_class.get()};
};

}  // namespace fakes
