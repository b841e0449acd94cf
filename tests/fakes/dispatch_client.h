// Late-bound calls by member name, as a script client makes them through IDispatch.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include <comrt/object.h>
#include <comrt/variant.h>

namespace fakes::by_name {

using comrt::variant;

// Invokes a member by name with its arguments in their natural order; a put passes the value as the
// named argument DISPID_PROPERTYPUT.
inline HRESULT invoke(IDispatch* target, std::u16string name, WORD flags, std::vector<variant> args = {},
                      variant* result = nullptr) {
  LPOLESTR names[] = {name.data()};
  DISPID id = DISPID_UNKNOWN;
  if (const HRESULT hr = target->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id); FAILED(hr)) return hr;
  std::reverse(args.begin(), args.end());  // positional arguments arrive last first
  DISPID put_id = DISPID_PROPERTYPUT;
  const bool put = flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF);
  DISPPARAMS params{args.data(), put ? &put_id : nullptr, static_cast<UINT>(args.size()), put ? 1u : 0u};
  UINT arg_error = 0;
  return target->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result ? result->put() : nullptr, nullptr,
                        &arg_error);
}
inline HRESULT call(IDispatch* target, std::u16string name, std::vector<variant> args = {}) {
  return invoke(target, std::move(name), DISPATCH_METHOD, std::move(args));
}
inline HRESULT put(IDispatch* target, std::u16string name, variant value, WORD flags = DISPATCH_PROPERTYPUT) {
  std::vector<variant> args;
  args.push_back(std::move(value));
  return invoke(target, std::move(name), flags, std::move(args));
}
inline variant get(IDispatch* target, std::u16string name, std::vector<variant> args = {}) {
  variant v;
  EXPECT_EQ(invoke(target, std::move(name), DISPATCH_PROPERTYGET, std::move(args), &v), S_OK) << "reading a property";
  return v;
}

}  // namespace fakes::by_name
