#include "system/text.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The code point that starts at `position`, which moves past it; a sequence
// that breaks off moves past its valid start only, so the next one is read
// from the byte that broke it.
char32_t DecodeUtf8(std::string_view text, std::size_t& position) {
  const auto lead = static_cast<unsigned char>(text[position++]);
  if (lead < 0x80) return lead;
  int length = 0;
  char32_t code_point = 0;
  // The second byte's range excludes overlong forms, surrogates and code
  // points above U+10FFFF.
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code_point = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code_point = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code_point = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return kReplacement;
  }
  for (int index = 1; index < length; ++index) {
    if (position >= text.size()) return kReplacement;
    const auto byte = static_cast<unsigned char>(text[position]);
    if (index == 1 ? (byte < low || byte > high) : !IsContinuation(byte)) return kReplacement;
    code_point = (code_point << 6) | (byte & 0x3F);
    ++position;
  }
  return code_point;
}

void AppendUtf8(std::string& out, char32_t code_point) {
  if (code_point < 0x80) {
    out.push_back(static_cast<char>(code_point));
  } else if (code_point < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code_point >> 6)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else if (code_point < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code_point >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code_point >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  }
}

bool IsHighSurrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

template <typename String>
String DecodeAll(std::string_view text) {
  String result;
  result.reserve(text.size());
  for (std::size_t position = 0; position < text.size();) {
    const char32_t code_point = DecodeUtf8(text, position);
    if (sizeof(typename String::value_type) == 4 || code_point < 0x10000) {
      result.push_back(static_cast<typename String::value_type>(code_point));
    } else {
      const char32_t offset = code_point - 0x10000;
      result.push_back(static_cast<typename String::value_type>(0xD800 + (offset >> 10)));
      result.push_back(static_cast<typename String::value_type>(0xDC00 + (offset & 0x3FF)));
    }
  }
  return result;
}

template <typename Char>
std::string EncodeUtf16(std::basic_string_view<Char> text) {
  std::string result;
  result.reserve(text.size());
  for (std::size_t position = 0; position < text.size(); ++position) {
    const char32_t unit = text[position];
    if (IsHighSurrogate(unit) && position + 1 < text.size() && IsLowSurrogate(text[position + 1])) {
      const char32_t low = text[++position];
      AppendUtf8(result, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
    } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
      AppendUtf8(result, kReplacement);
    } else {
      AppendUtf8(result, unit);
    }
  }
  return result;
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view text) { return DecodeAll<std::u16string>(text); }

std::string Utf16ToUtf8(std::u16string_view text) { return EncodeUtf16(text); }

std::wstring Utf8ToWide(std::string_view text) { return DecodeAll<std::wstring>(text); }

std::string WideToUtf8(std::wstring_view text) {
  if constexpr (sizeof(wchar_t) == 2) return EncodeUtf16(text);
  std::string result;
  result.reserve(text.size());
  for (const wchar_t unit : text) {
    const auto code_point = static_cast<char32_t>(unit);
    const bool valid =
        code_point <= 0x10FFFF && !IsHighSurrogate(code_point) && !IsLowSurrogate(code_point);
    AppendUtf8(result, valid ? code_point : kReplacement);
  }
  return result;
}
