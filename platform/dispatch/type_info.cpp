// ITypeInfo and ITypeLib built from interface, coclass and library descriptions.
//
// The structures handed out (TYPEATTR, FUNCDESC, TLIBATTR) are built once per object and live as
// long as it; the Release functions have nothing to free. Dual and dispatch-only interfaces are
// shown as the dispatch view (TKIND_DISPATCH, FUNC_DISPATCH, the [out, retval] value as the
// function's result), custom interfaces as TKIND_INTERFACE.
#include <algorithm>
#include <memory>
#include <vector>

#include "comrt/dispatch.h"
#include "comrt/variant.h"

namespace comrt {
namespace {

constexpr WORD pointer_size = sizeof(void*);

// Hands name and doc string out through the optional out-parameters; nothing is handed out when
// an allocation fails.
void put_documentation(std::u16string_view name, std::u16string_view doc, BSTR* name_out, BSTR* doc_out,
                       DWORD* help_context, BSTR* help_file) {
  bstr name_copy = name_out ? bstr(name) : bstr();
  bstr doc_copy = doc_out && !doc.empty() ? bstr(doc) : bstr();
  if (name_out) *name_out = name_copy.detach();
  if (doc_out) *doc_out = doc_copy.detach();
  if (help_context) *help_context = 0;
  if (help_file) *help_file = nullptr;
}

TYPEATTR blank_type_attr() {
  TYPEATTR a{};
  a.memidConstructor = MEMBERID_NIL;
  a.memidDestructor = MEMBERID_NIL;
  a.cbSizeInstance = pointer_size;
  a.cbAlignment = pointer_size;
  a.tdescAlias.vt = VT_EMPTY;
  return a;
}

class type_library;

// What every ITypeInfo here shares: the operations this runtime does not offer, the containing
// library and the release functions.
template <class D>
class type_info_base : public implements<D, ITypeInfo> {
 public:
  type_info_base(com_ptr<type_library> library, UINT index) noexcept : library_(std::move(library)), index_(index) {}

  HRESULT STDMETHODCALLTYPE GetTypeAttr(TYPEATTR** attr) override {
    return boundary([&] { *init_out(attr) = &attr_; });
  }
  HRESULT STDMETHODCALLTYPE GetTypeComp(ITypeComp** comp) override {
    if (comp) *comp = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetVarDesc(UINT, VARDESC** desc) override {
    if (desc) *desc = nullptr;
    return TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT STDMETHODCALLTYPE GetDllEntry(MEMBERID, INVOKEKIND, BSTR*, BSTR*, WORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE AddressOfMember(MEMBERID, INVOKEKIND, PVOID* ppv) override {
    if (ppv) *ppv = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID, PVOID* ppv) override {
    if (ppv) *ppv = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetMops(MEMBERID, BSTR* mops) override {
    if (mops) *mops = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetContainingTypeLib(ITypeLib** library, UINT* index) override;
  void STDMETHODCALLTYPE ReleaseTypeAttr(TYPEATTR*) override {}
  void STDMETHODCALLTYPE ReleaseFuncDesc(FUNCDESC*) override {}
  void STDMETHODCALLTYPE ReleaseVarDesc(VARDESC*) override {}

 protected:
  const com_ptr<type_library> library_;  // null for a stand-alone interface
  const UINT index_;                     // the position in library_
  TYPEATTR attr_ = blank_type_attr();    // immutable after construction
};

class interface_type_info final : public type_info_base<interface_type_info> {
 public:
  interface_type_info(const interface_info& info, com_ptr<type_library> library, UINT index);

  HRESULT STDMETHODCALLTYPE GetFuncDesc(UINT index, FUNCDESC** desc) override {
    return boundary([&]() -> HRESULT {
      init_out(desc);
      if (index >= funcs_.size()) return TYPE_E_ELEMENTNOTFOUND;
      *desc = &funcs_[index];
      return S_OK;
    });
  }

  HRESULT STDMETHODCALLTYPE GetNames(MEMBERID id, BSTR* names, UINT max_names, UINT* count) override {
    return boundary([&]() -> HRESULT {
      init_out(count);
      if (max_names > 0) check_pointer(names);
      const member_info* m = info_.find(id, INVOKE_FUNC | INVOKE_PROPERTYGET | INVOKE_PROPERTYPUT |
                                                INVOKE_PROPERTYPUTREF);
      if (!m) return TYPE_E_ELEMENTNOTFOUND;
      std::vector<std::u16string_view> all{m->name};
      for (const param_info& p : m->params) {
        if (!p.name.empty()) all.push_back(p.name);
      }
      const UINT n = std::min<UINT>(max_names, static_cast<UINT>(all.size()));
      std::vector<bstr> copies;
      for (UINT i = 0; i < n; ++i) copies.emplace_back(all[i]);
      for (UINT i = 0; i < n; ++i) names[i] = copies[i].detach();
      *count = n;
      return S_OK;
    });
  }

  HRESULT STDMETHODCALLTYPE GetRefTypeOfImplType(UINT, HREFTYPE* ref) override {
    if (ref) *ref = 0;
    return TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT STDMETHODCALLTYPE GetImplTypeFlags(UINT, INT* flags) override {
    if (flags) *flags = 0;
    return TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(LPOLESTR* names, UINT count, MEMBERID* ids) override {
    return dispatch::get_ids_of_names(info_, IID_NULL, names, count, ids);
  }
  HRESULT STDMETHODCALLTYPE Invoke(PVOID instance, MEMBERID id, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO* exception, UINT* arg_error) override {
    if (!instance) return E_INVALIDARG;
    if (info_.kind() != interface_kind::dual) return DISP_E_MEMBERNOTFOUND;
    // The instance is a pointer to the described interface, and so to IUnknown.
    return dispatch::invoke(info_, static_cast<IUnknown*>(instance), id, IID_NULL, LOCALE_USER_DEFAULT, flags,
                            params, result, exception, arg_error);
  }
  HRESULT STDMETHODCALLTYPE GetDocumentation(MEMBERID id, BSTR* name, BSTR* doc, DWORD* help_context,
                                             BSTR* help_file) override {
    return boundary([&]() -> HRESULT {
      if (id == MEMBERID_NIL) {
        put_documentation(info_.name(), {}, name, doc, help_context, help_file);
        return S_OK;
      }
      const member_info* m = info_.find(id, INVOKE_FUNC | INVOKE_PROPERTYGET | INVOKE_PROPERTYPUT |
                                                INVOKE_PROPERTYPUTREF);
      if (!m) return TYPE_E_ELEMENTNOTFOUND;
      put_documentation(m->name, {}, name, doc, help_context, help_file);
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE GetRefTypeInfo(HREFTYPE, ITypeInfo** type_info) override {
    if (type_info) *type_info = nullptr;
    return TYPE_E_ELEMENTNOTFOUND;
  }

 private:
  const interface_info& info_;
  std::vector<std::vector<ELEMDESC>> params_;
  std::vector<FUNCDESC> funcs_;
};

class coclass_type_info final : public type_info_base<coclass_type_info> {
 public:
  coclass_type_info(const coclass_info& info, com_ptr<type_library> library, UINT index);

  HRESULT STDMETHODCALLTYPE GetFuncDesc(UINT, FUNCDESC** desc) override {
    if (desc) *desc = nullptr;
    return TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT STDMETHODCALLTYPE GetNames(MEMBERID, BSTR*, UINT, UINT* count) override {
    if (count) *count = 0;
    return TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT STDMETHODCALLTYPE GetRefTypeOfImplType(UINT index, HREFTYPE* ref) override;
  HRESULT STDMETHODCALLTYPE GetImplTypeFlags(UINT index, INT* flags) override {
    return boundary([&]() -> HRESULT {
      init_out(flags);
      if (index >= info_.interfaces.size()) return TYPE_E_ELEMENTNOTFOUND;
      *flags = info_.interfaces[index].flags;
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(LPOLESTR*, UINT count, MEMBERID* ids) override {
    for (UINT i = 0; ids && i < count; ++i) ids[i] = MEMBERID_NIL;
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT STDMETHODCALLTYPE Invoke(PVOID, MEMBERID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return DISP_E_MEMBERNOTFOUND;
  }
  HRESULT STDMETHODCALLTYPE GetDocumentation(MEMBERID id, BSTR* name, BSTR* doc, DWORD* help_context,
                                             BSTR* help_file) override {
    return boundary([&]() -> HRESULT {
      if (id != MEMBERID_NIL) return TYPE_E_ELEMENTNOTFOUND;
      put_documentation(info_.name, {}, name, doc, help_context, help_file);
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE GetRefTypeInfo(HREFTYPE ref, ITypeInfo** type_info) override;

 private:
  const coclass_info& info_;  // owned by library_
};

class type_library final : public implements<type_library, ITypeLib> {
 public:
  explicit type_library(const library_info& info) : info_(info) {
    for (const interface_info& i : info_.interfaces) add_interface(i);
    for (const coclass_info& c : info_.coclasses) {
      for (const implemented_interface& i : c.interfaces) add_interface(*i.info);
    }
    attr_.guid = info_.libid;
    attr_.lcid = info_.lcid;
    attr_.syskind = SYS_WIN64;
    attr_.wMajorVerNum = info_.major;
    attr_.wMinorVerNum = info_.minor;
    attr_.wLibFlags = 0;
  }

  const library_info& info() const noexcept { return info_; }

  // The position of the interface with this identifier, or -1.
  int index_of_interface(const IID& iid) const noexcept {
    for (size_t i = 0; i < interfaces_.size(); ++i) {
      if (interfaces_[i]->iid() == iid) return static_cast<int>(i);
    }
    return -1;
  }

  com_ptr<ITypeInfo> type_info_at(UINT index) {
    if (index < interfaces_.size()) return make<interface_type_info>(*interfaces_[index], com_ptr<type_library>(this), index);
    const size_t c = index - interfaces_.size();
    if (c < info_.coclasses.size()) return make<coclass_type_info>(info_.coclasses[c], com_ptr<type_library>(this), index);
    throw_hresult(TYPE_E_ELEMENTNOTFOUND);
  }

  UINT STDMETHODCALLTYPE GetTypeInfoCount() override { return count(); }

  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, ITypeInfo** type_info) override {
    return boundary([&] {
      init_out(type_info);
      *type_info = type_info_at(index).detach();
    });
  }

  HRESULT STDMETHODCALLTYPE GetTypeInfoType(UINT index, TYPEKIND* kind) override {
    return boundary([&]() -> HRESULT {
      init_out(kind);
      if (index < interfaces_.size()) {
        *kind = interfaces_[index]->kind() == interface_kind::custom ? TKIND_INTERFACE : TKIND_DISPATCH;
        return S_OK;
      }
      if (index < count()) {
        *kind = TKIND_COCLASS;
        return S_OK;
      }
      return TYPE_E_ELEMENTNOTFOUND;
    });
  }

  HRESULT STDMETHODCALLTYPE GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** type_info) override {
    return boundary([&]() -> HRESULT {
      init_out(type_info);
      const int i = index_of_interface(guid);
      if (i >= 0) {
        *type_info = type_info_at(static_cast<UINT>(i)).detach();
        return S_OK;
      }
      for (size_t c = 0; c < info_.coclasses.size(); ++c) {
        if (info_.coclasses[c].clsid == guid) {
          *type_info = type_info_at(static_cast<UINT>(interfaces_.size() + c)).detach();
          return S_OK;
        }
      }
      return TYPE_E_ELEMENTNOTFOUND;
    });
  }

  HRESULT STDMETHODCALLTYPE GetLibAttr(TLIBATTR** attr) override {
    return boundary([&] { *init_out(attr) = &attr_; });
  }

  HRESULT STDMETHODCALLTYPE GetTypeComp(ITypeComp** comp) override {
    if (comp) *comp = nullptr;
    return E_NOTIMPL;
  }

  HRESULT STDMETHODCALLTYPE GetDocumentation(INT index, BSTR* name, BSTR* doc, DWORD* help_context,
                                             BSTR* help_file) override {
    return boundary([&]() -> HRESULT {
      if (index == -1) {
        put_documentation(info_.name, info_.doc, name, doc, help_context, help_file);
        return S_OK;
      }
      if (index < 0 || static_cast<UINT>(index) >= count()) return TYPE_E_ELEMENTNOTFOUND;
      const auto i = static_cast<size_t>(index);
      put_documentation(i < interfaces_.size() ? std::u16string_view(interfaces_[i]->name())
                                               : std::u16string_view(info_.coclasses[i - interfaces_.size()].name),
                        {}, name, doc, help_context, help_file);
      return S_OK;
    });
  }

  HRESULT STDMETHODCALLTYPE IsName(LPOLESTR, ULONG, BOOL* found) override {
    if (found) *found = FALSE;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE FindName(LPOLESTR, ULONG, ITypeInfo**, MEMBERID*, USHORT* found) override {
    if (found) *found = 0;
    return E_NOTIMPL;
  }
  void STDMETHODCALLTYPE ReleaseTLibAttr(TLIBATTR*) override {}

 private:
  UINT count() const noexcept { return static_cast<UINT>(interfaces_.size() + info_.coclasses.size()); }

  void add_interface(const interface_info& i) {
    if (index_of_interface(i.iid()) < 0) interfaces_.push_back(&i);
  }

  const library_info info_;  // immutable after construction, like everything here
  std::vector<const interface_info*> interfaces_;
  TLIBATTR attr_{};
};

template <class D>
HRESULT type_info_base<D>::GetContainingTypeLib(ITypeLib** library, UINT* index) {
  if (library) *library = nullptr;
  if (index) *index = 0;
  if (!library_) return E_NOTIMPL;
  if (library) library_.copy_to(library);
  if (index) *index = index_;
  return S_OK;
}

interface_type_info::interface_type_info(const interface_info& info, com_ptr<type_library> library, UINT index)
    : type_info_base(std::move(library), index), info_(info) {
  const bool dispatch_view = info.kind() != interface_kind::custom;
  attr_.guid = info.iid();
  attr_.typekind = dispatch_view ? TKIND_DISPATCH : TKIND_INTERFACE;
  attr_.cFuncs = static_cast<WORD>(info.members().size());
  attr_.cbSizeVft = static_cast<WORD>((dispatch_view ? 7 : 3) * pointer_size);
  attr_.wTypeFlags = info.type_flags();
  if (library_) {
    attr_.lcid = library_->info().lcid;
    attr_.wMajorVerNum = library_->info().major;
    attr_.wMinorVerNum = library_->info().minor;
  }

  params_.reserve(info.members().size());
  funcs_.reserve(info.members().size());
  for (const member_info& m : info.members()) {
    std::vector<ELEMDESC>& elems = params_.emplace_back();
    SHORT optional = 0;
    for (const param_info& p : m.params) {
      ELEMDESC e{};
      e.tdesc.vt = p.vt;
      e.paramdesc.wParamFlags = p.optional ? PARAMFLAG_FIN | PARAMFLAG_FOPT : PARAMFLAG_FIN;
      elems.push_back(e);
      optional = p.optional ? static_cast<SHORT>(optional + 1) : SHORT{0};  // trailing optional ones
    }
    FUNCDESC f{};
    f.memid = m.id;
    f.lprgelemdescParam = elems.empty() ? nullptr : elems.data();
    f.funckind = dispatch_view ? FUNC_DISPATCH : FUNC_PUREVIRTUAL;
    f.invkind = static_cast<INVOKEKIND>(m.kind);
    f.callconv = CC_STDCALL;
    f.cParams = static_cast<SHORT>(elems.size());
    f.cParamsOpt = optional;
    f.elemdescFunc.tdesc.vt = m.result.vt == VT_EMPTY ? static_cast<VARTYPE>(VT_VOID) : m.result.vt;
    f.wFuncFlags = m.flags;
    funcs_.push_back(f);
  }
}

coclass_type_info::coclass_type_info(const coclass_info& info, com_ptr<type_library> library, UINT index)
    : type_info_base(std::move(library), index), info_(info) {
  attr_.guid = info.clsid;
  attr_.typekind = TKIND_COCLASS;
  attr_.cImplTypes = static_cast<WORD>(info.interfaces.size());
  attr_.wTypeFlags = info.type_flags;
  attr_.lcid = library_->info().lcid;
  attr_.wMajorVerNum = library_->info().major;
  attr_.wMinorVerNum = library_->info().minor;
}

HRESULT coclass_type_info::GetRefTypeOfImplType(UINT index, HREFTYPE* ref) {
  return boundary([&]() -> HRESULT {
    init_out(ref);
    if (index >= info_.interfaces.size()) return TYPE_E_ELEMENTNOTFOUND;
    // A reference is the position of the interface's type information in the library.
    *ref = static_cast<HREFTYPE>(library_->index_of_interface(info_.interfaces[index].info->iid()));
    return S_OK;
  });
}

HRESULT coclass_type_info::GetRefTypeInfo(HREFTYPE ref, ITypeInfo** type_info) {
  return boundary([&]() -> HRESULT {
    init_out(type_info);
    const bool listed = std::any_of(info_.interfaces.begin(), info_.interfaces.end(), [&](const implemented_interface& i) {
      return library_->index_of_interface(i.info->iid()) == static_cast<int>(ref);
    });
    if (!listed) return TYPE_E_ELEMENTNOTFOUND;
    *type_info = library_->type_info_at(ref).detach();
    return S_OK;
  });
}

}  // namespace

com_ptr<ITypeInfo> make_type_info(const interface_info& info) {
  return make<interface_type_info>(info, nullptr, 0);
}

com_ptr<ITypeLib> make_type_library(const library_info& info) { return make<type_library>(info); }

HRESULT get_class_info(const library_info& library, REFCLSID clsid, ITypeInfo** type_info) noexcept {
  return boundary([&]() -> HRESULT {
    init_out(type_info);
    const auto& classes = library.coclasses;
    if (std::none_of(classes.begin(), classes.end(), [&](const coclass_info& c) { return c.clsid == clsid; })) {
      return TYPE_E_ELEMENTNOTFOUND;
    }
    return make_type_library(library)->GetTypeInfoOfGuid(clsid, type_info);
  });
}

}  // namespace comrt
