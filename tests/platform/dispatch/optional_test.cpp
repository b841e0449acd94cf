// Optional parameters: left out or passed as missing, they reach the member as
// VT_ERROR/DISP_E_PARAMNOTFOUND; the type information flags them.
#include <gtest/gtest.h>

#include <vector>

#include "comrt/dispatch.h"
#include "comrt/variant.h"

struct IFinder : IDispatch {
  virtual HRESULT STDMETHODCALLTYPE Find(BSTR name, VARIANT start, VARIANT count, LONG* found) = 0;
};
COMRT_INTERFACE_ID(IFinder, IDispatch, 0x7E1D0B60, 0x61A2, 0x4C3B, 0x9D, 0x14, 0x25, 0x36, 0x47, 0x58, 0x69, 0x7B)

template <>
struct comrt::dispatch_description<IFinder> {
  static const interface_info& get() {
    static const interface_info info{IID_IFinder, u"IFinder", {
        method<&IFinder::Find, deduced, optional, optional>(u"Find", 1, {u"name", u"start", u"count", u"found"}),
    }};
    return info;
  }
};

namespace {

// Reports which optional arguments arrived missing: bit 0 start, bit 1 count.
class Finder final : public comrt::implements<Finder, IFinder> {
 public:
  HRESULT STDMETHODCALLTYPE Find(BSTR, VARIANT start, VARIANT count, LONG* found) override {
    auto missing = [](const VARIANT& v) { return v.vt == VT_ERROR && v.scode == DISP_E_PARAMNOTFOUND; };
    *found = (missing(start) ? 1 : 0) | (missing(count) ? 2 : 0);
    return S_OK;
  }
};

struct call {
  HRESULT hr;
  LONG found;
};

call find(IDispatch* d, std::vector<comrt::variant> args, std::vector<DISPID> named = {}) {
  DISPPARAMS params{args.data(), named.empty() ? nullptr : named.data(), static_cast<UINT>(args.size()),
                    static_cast<UINT>(named.size())};
  comrt::variant result;
  const HRESULT hr = d->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr);
  return {hr, result.vt == VT_I4 ? result.lVal : -1};
}

comrt::variant missing() {
  comrt::variant v;
  v.vt = VT_ERROR;
  v.scode = DISP_E_PARAMNOTFOUND;
  return v;
}

TEST(OptionalParameters, MissingArgumentsArriveAsParamNotFound) {
  auto finder = comrt::make<Finder>().as<IDispatch>();
  // Arguments in DISPPARAMS order (last first).
  EXPECT_EQ(find(finder.get(), {comrt::variant(u"a")}).found, 3);
  EXPECT_EQ(find(finder.get(), {comrt::variant(1), comrt::variant(u"a")}).found, 2);
  EXPECT_EQ(find(finder.get(), {comrt::variant(2), missing(), comrt::variant(u"a")}).found, 1);
  EXPECT_EQ(find(finder.get(), {comrt::variant(2), comrt::variant(u"a")}, {2}).found, 1);  // count by name
  EXPECT_EQ(find(finder.get(), {}).hr, DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(find(finder.get(), {comrt::variant(u"a"), missing(), missing(), missing()}).hr, DISP_E_BADPARAMCOUNT);

  comrt::com_ptr<ITypeInfo> type;
  ASSERT_EQ(finder->GetTypeInfo(0, 0, type.put()), S_OK);
  FUNCDESC* f = nullptr;
  ASSERT_EQ(type->GetFuncDesc(0, &f), S_OK);
  EXPECT_EQ(f->cParams, 3);
  EXPECT_EQ(f->cParamsOpt, 2);
  EXPECT_EQ(f->lprgelemdescParam[0].paramdesc.wParamFlags, PARAMFLAG_FIN);
  EXPECT_EQ(f->lprgelemdescParam[2].paramdesc.wParamFlags, PARAMFLAG_FIN | PARAMFLAG_FOPT);
  type->ReleaseFuncDesc(f);
}

}  // namespace
