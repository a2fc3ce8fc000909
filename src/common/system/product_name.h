#pragma once

// The names the product is installed under: its registry keys
// (SOFTWARE\<vendor>\<product>) and its temporary folders use them, and every
// other product process looks for the same ones.
namespace product {

inline constexpr wchar_t kVendorName[] = L"Velmora";
inline constexpr wchar_t kProductName[] = L"Kestova";

}  // namespace product
