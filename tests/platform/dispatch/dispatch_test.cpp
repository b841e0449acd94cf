// IDispatch served from a description, driven by name as a script host drives it: conversions,
// named and optional arguments, the statuses of bad calls, references, and error information.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "comrt/guid.h"
#include "comrt/strings.h"
#include "fakes/com_helpers.h"
#include "fakes/dispatch_client.h"
#include "widget.h"

namespace {

using comrt::com_ptr;
using comrt::variant;
using widgets::Gadget;
using fakes::ref_count;

struct call_result { HRESULT hr = E_FAIL; variant value; UINT arg_error = 0xFFFF; };

struct exception_info : EXCEPINFO {
  exception_info() : EXCEPINFO{} {}
  ~exception_info() { for (BSTR text : {bstrSource, bstrDescription, bstrHelpFile}) SysFreeString(text); }
};

variant of_type(VARTYPE vt, LONG value) { variant v; v.vt = vt; v.lVal = value; return v; }
const variant missing = of_type(VT_ERROR, DISP_E_PARAMNOTFOUND);

class Dispatch : public ::testing::Test {
 protected:
  Dispatch() { comrt::module_prog_ids().add(CLSID_Gadget, u"Tests.Gadget.1"); }
  // Arguments in declaration order (reversed into DISPPARAMS after the named ones, which come first).
  call_result invoke(DISPID id, WORD flags, std::vector<variant> args, std::vector<DISPID> named = {},
                     EXCEPINFO* info = nullptr) {
    std::reverse(args.begin() + static_cast<ptrdiff_t>(named.size()), args.end());
    DISPPARAMS params{args.data(), named.data(), static_cast<UINT>(args.size()), static_cast<UINT>(named.size())};
    call_result r;
    r.hr = disp->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, &r.value, info, &r.arg_error);
    return r;
  }
  // A method's result, called by name.
  variant call(std::u16string name, std::vector<variant> args = {}, HRESULT expected = S_OK) {
    variant result;
    EXPECT_EQ(fakes::by_name::invoke(disp.get(), std::move(name), DISPATCH_METHOD, std::move(args), &result), expected);
    return result;
  }

  com_ptr<Gadget> gadget = comrt::make<Gadget>();
  com_ptr<IDispatch> disp = gadget.as<IDispatch>();
};

TEST_F(Dispatch, PropertiesConvertTheirArgumentsAndAnswerWithTheirAutomationTypes) {
  const struct { const char16_t* name; variant in; VARTYPE out_type; variant out; } rows[] = {
      {u"Name", variant(17), VT_BSTR, variant(u"17")},
      {u"Count", variant(u"42"), VT_I4, variant(42)},
      {u"Started", variant(45000.5), VT_DATE, variant::from_date(45000.5)},  // a DATE, not a VT_R8
      {u"Result", of_type(VT_ERROR, E_ACCESSDENIED), VT_I4, variant(E_ACCESSDENIED)},
      {u"Id", variant(u"{6b1e2c3a-0d4f-4a5b-9c8d-7e6f5a4b3c2d}"), VT_BSTR, variant(u"{6B1E2C3A-0D4F-4A5B-9C8D-7E6F5A4B3C2D}")},
      {u"Created", variant(ULONGLONG{133'000'000'000'000'123ULL}), VT_UI8, variant(ULONGLONG{133'000'000'000'000'123ULL})},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(comrt::to_utf8(row.name));
    ASSERT_EQ(fakes::by_name::put(disp.get(), row.name, row.in), S_OK);
    variant r = fakes::by_name::get(disp.get(), row.name);
    EXPECT_EQ(r.vt, row.out_type);
    EXPECT_EQ(comrt::bstr_view(r.converted(VT_BSTR).bstrVal), comrt::bstr_view(row.out.converted(VT_BSTR).bstrVal));
  }
  // Text that is no GUID is a type mismatch, and nothing is stored.
  EXPECT_EQ(fakes::by_name::put(disp.get(), u"Id", u"6B1E2C3A-0D4F-4A5B-9C8D-7E6F5A4B3C2D"), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(gadget->id.Data1, 0x6B1E2C3Au);
}

TEST_F(Dispatch, MethodsTakeReferencesNamedAndOptionalArgumentsAndGuidsAsText) {
  LONG by_ref = 9;
  variant inner(u"5"), ref = of_type(VT_BYREF | VT_I4, 0), ref_to_variant = of_type(VT_BYREF | VT_VARIANT, 0);
  ref.plVal = &by_ref, ref_to_variant.pvarVal = &inner;
  EXPECT_EQ(call(u"Subtract", {variant(u"10"), ref}).lVal, 1);
  EXPECT_EQ(call(u"Subtract", {ref_to_variant, 7}).lVal, -2);

  // Names in any case; parameter names give their positions, and named arguments reach their
  // parameters whatever their order.
  char16_t n0[] = u"sUbTrAcT", n1[] = u"B", n2[] = u"a", n3[] = u"nope";
  LPOLESTR raw[] = {n0, n1, n2, n3};
  DISPID ids[4] = {};
  EXPECT_EQ(disp->GetIDsOfNames(IID_NULL, raw, 4, LOCALE_USER_DEFAULT, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(std::vector<DISPID>(ids, ids + 4), (std::vector<DISPID>{100, 1, 0, DISPID_UNKNOWN}));
  EXPECT_EQ(invoke(100, DISPATCH_METHOD, {variant(3), variant(10)}, {1, 0}).value.lVal, 7);
  EXPECT_EQ(invoke(100, DISPATCH_METHOD, {variant(4), variant(10)}, {1}).value.lVal, 6);

  // Optional parameters left out, passed as missing or skipped by name arrive as missing.
  EXPECT_EQ(call(u"Find", {variant(u"a")}).lVal, 3);
  EXPECT_EQ(call(u"Find", {variant(u"a"), variant(1)}).lVal, 2);
  EXPECT_EQ(call(u"Find", {variant(u"a"), missing, variant(2)}).lVal, 1);
  EXPECT_EQ(invoke(106, DISPATCH_METHOD, {variant(2), variant(u"a")}, {2}).value.lVal, 1);

  // A GUID passed by reference ([in] GUID*) arrives as text too.
  gadget->child = comrt::make<Gadget>();
  gadget->child_id = GUID{0x01234567, 0x89AB, 0xCDEF, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
  EXPECT_EQ(call(u"FindById", {variant(u"{01234567-89ab-cdef-0123-456789abcdef}")}).pdispVal,
            gadget->child.as<IDispatch>().get());
  call(u"FindById", {variant(u"{not a guid}")}, DISP_E_TYPEMISMATCH);
}

TEST_F(Dispatch, BadCallsGetTheStatusesAutomationClientsExpect) {
  const UINT none = 0xFFFF;
  const struct { DISPID id; WORD flags; std::vector<variant> args; std::vector<DISPID> named; HRESULT expected;
    UINT arg_error; } rows[] = {
      {1, DISPATCH_METHOD, {}, {}, DISP_E_MEMBERNOTFOUND, none},  // the wrong kind of call
      {999, DISPATCH_PROPERTYGET, {}, {}, DISP_E_MEMBERNOTFOUND, none},
      {200, DISPATCH_PROPERTYPUT, {variant(1)}, {DISPID_PROPERTYPUT}, DISP_E_MEMBERNOTFOUND, none},  // read-only
      {2, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {}, {}, S_OK, none},  // as scripts read properties
      {100, DISPATCH_METHOD, {variant(1)}, {}, DISP_E_BADPARAMCOUNT, none},
      {106, DISPATCH_METHOD, {}, {}, DISP_E_BADPARAMCOUNT, none},
      {100, DISPATCH_METHOD, {variant(1), variant(2), variant(3)}, {}, DISP_E_BADPARAMCOUNT, none},
      {106, DISPATCH_METHOD, {variant(u"a"), missing, missing, missing}, {}, DISP_E_BADPARAMCOUNT, none},
      {2, DISPATCH_PROPERTYGET, {variant(1)}, {}, DISP_E_BADPARAMCOUNT, none},
      {2, DISPATCH_PROPERTYPUT, {variant(5)}, {}, DISP_E_PARAMNOTFOUND, none},  // value not named
      {100, DISPATCH_METHOD, {variant(1), missing}, {}, DISP_E_PARAMNOTOPTIONAL, 0},
      {105, DISPATCH_METHOD, {variant(1)}, {0}, DISP_E_NONAMEDARGS, none},
      {100, DISPATCH_METHOD, {variant(1), variant(2)}, {7, 0}, DISP_E_PARAMNOTFOUND, 0},
      {100, DISPATCH_METHOD, {variant(1), variant(u"abc")}, {}, DISP_E_TYPEMISMATCH, 0},  // b is first
      {100, DISPATCH_METHOD, {variant(u"abc"), variant(1)}, {}, DISP_E_TYPEMISMATCH, 1},
      {100, DISPATCH_METHOD, {variant(1), variant(1e10)}, {}, DISP_E_OVERFLOW, 0},
      {101, DISPATCH_METHOD, {variant(5), variant(1)}, {}, DISP_E_TYPEMISMATCH, 1},  // no object
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << "DISPID " << row.id << " flags " << row.flags);
    call_result r = invoke(row.id, row.flags, row.args, row.named);
    EXPECT_EQ(r.hr, row.expected);
    if (row.arg_error != none) { EXPECT_EQ(r.arg_error, row.arg_error); }
  }
  EXPECT_EQ(gadget->count, 0);
  EXPECT_EQ(disp->Invoke(100, IID_NULL, 0, DISPATCH_METHOD, nullptr, nullptr, nullptr, nullptr), E_INVALIDARG);
  DISPPARAMS no_args{nullptr, nullptr, 0, 0};
  EXPECT_EQ(disp->Invoke(105, IID_IDispatch, 0, DISPATCH_METHOD, &no_args, nullptr, nullptr, nullptr),
            DISP_E_UNKNOWNINTERFACE);
}

TEST_F(Dispatch, ObjectsTravelAsInterfacesAndNoReferenceIsLost) {
  auto other = comrt::make<Gadget>();
  const ULONG base = ref_count(other->identity());
  com_ptr<IDispatch> other_disp = other.as<IDispatch>();
  call(u"Link", {variant(other_disp.get()), variant(3)});
  EXPECT_EQ(gadget->linked.get(), static_cast<IWidget*>(other.get()));
  call(u"Link", {variant(), variant(0)});  // an empty argument unlinks: no reference is kept
  // A failing conversion after the object was converted releases the converted object.
  call(u"Link", {variant(other_disp.get()), variant(u"x")}, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(ref_count(other->identity()), base + 1);  // other_disp only

  // Results: the default member (DISPID 0) with an index, and _NewEnum (DISPID -4).
  gadget->child = other;
  EXPECT_EQ(invoke(DISPID_VALUE, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {variant(0)}).value.pdispVal,
            other_disp.get());
  EXPECT_EQ(invoke(DISPID_NEWENUM, DISPATCH_PROPERTYGET, {}).value.vt, VT_UNKNOWN);
  // A result nobody asked for, and one handed out by a failing method, are released.
  variant index(0); DISPPARAMS one{&index, nullptr, 1, 0};
  EXPECT_EQ(disp->Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_PROPERTYGET, &one, nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(call(u"BrokenChild", {}, DISP_E_EXCEPTION).vt, VT_EMPTY);
  EXPECT_EQ(ref_count(other->identity()), base + 2);  // other_disp and child
}

TEST_F(Dispatch, AFailingMemberIsAnExceptionWithItsDescriptionOrTheStandardMessage) {
  exception_info info;
  ASSERT_EQ(invoke(102, DISPATCH_METHOD, {variant(u"/nowhere")}, {}, &info).hr, DISP_E_EXCEPTION);
  EXPECT_EQ(info.scode, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(comrt::bstr_view(info.bstrDescription), u"No file at /nowhere");
  EXPECT_EQ(comrt::bstr_view(info.bstrSource), u"Tests.Gadget.1");
  com_ptr<IErrorInfo> left;
  EXPECT_EQ(GetErrorInfo(0, left.put()), S_FALSE) << "Invoke took the error information";

  // Left over from an earlier failure on this thread: never reported for a later one.
  comrt::set_error_info(u"stale");
  exception_info plain;
  ASSERT_EQ(invoke(102, DISPATCH_METHOD, {variant(u"")}, {}, &plain).hr, DISP_E_EXCEPTION);
  EXPECT_EQ(plain.scode, E_ACCESSDENIED);
  EXPECT_EQ(comrt::bstr_view(plain.bstrDescription), u"Access is denied.");
  EXPECT_EQ(comrt::bstr_view(plain.bstrSource), u"Tests.Gadget.1");
}

TEST_F(Dispatch, EarlyBoundCallersFindErrorInformationOfTheirThreadOnce) {
  EXPECT_EQ(gadget->Fail(comrt::bstr(u"/x").get()), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  com_ptr<IErrorInfo> info;
  std::thread([] { com_ptr<IErrorInfo> other; EXPECT_EQ(GetErrorInfo(0, other.put()), S_FALSE); }).join();
  ASSERT_EQ(GetErrorInfo(0, info.put()), S_OK);
  comrt::bstr description;
  ASSERT_EQ(info->GetDescription(description.put()), S_OK);
  EXPECT_EQ(description.view(), u"No file at /x");
  EXPECT_EQ(GetErrorInfo(0, info.put()), S_FALSE);
}

}  // namespace
