// Run-time library: counted wide strings and the kernel's swprintf, with 16-bit WCHAR.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "kernel_internal.h"

namespace sim::kernel {

std::u16string ToU16(PCUNICODE_STRING s) {
  if (s == nullptr || s->Buffer == nullptr) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(s->Buffer), s->Length / sizeof(WCHAR));
}

std::u16string ToU16(PCWSTR s) {
  std::u16string out;
  if (s == nullptr) return out;
  for (; *s != 0; ++s) out.push_back(static_cast<char16_t>(*s));
  return out;
}

std::string ToUtf8(std::u16string_view s) {
  std::string out;
  for (char16_t c : s) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::u16string UpperCase(std::u16string_view s) {
  std::u16string out(s);
  for (auto& c : out) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  }
  return out;
}

}  // namespace sim::kernel

using namespace sim::kernel;

extern "C" void NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString,
                                           PCWSTR SourceString) {
  EnterService("RtlInitUnicodeString");
  if (SourceString == nullptr) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    DestinationString->Buffer = nullptr;
    return;
  }
  size_t length = 0;
  while (SourceString[length] != 0) ++length;
  DestinationString->Length = static_cast<USHORT>(length * sizeof(WCHAR));
  DestinationString->MaximumLength = static_cast<USHORT>((length + 1) * sizeof(WCHAR));
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

extern "C" void NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString,
                                           PCUNICODE_STRING SourceString) {
  EnterService("RtlCopyUnicodeString");
  if (SourceString == nullptr) {
    DestinationString->Length = 0;
    return;
  }
  USHORT bytes = SourceString->Length;
  if (bytes > DestinationString->MaximumLength) bytes = DestinationString->MaximumLength;
  RtlCopyMemory(DestinationString->Buffer, SourceString->Buffer, bytes);
  DestinationString->Length = bytes;
  // The platform terminates the copy when the destination has room for the NUL.
  if (bytes < DestinationString->MaximumLength) {
    DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
  }
}

extern "C" void NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  EnterService("RtlFreeUnicodeString");
  CheckIrqlAtMost(APC_LEVEL, "RtlFreeUnicodeString");
  if (UnicodeString->Buffer != nullptr) ExFreePool(UnicodeString->Buffer);
  UnicodeString->Buffer = nullptr;
  UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

extern "C" LARGE_INTEGER NTAPI RtlConvertLongToLargeInteger(LONG SignedInteger) {
  EnterService("RtlConvertLongToLargeInteger");
  LARGE_INTEGER value;
  value.QuadPart = SignedInteger;
  return value;
}

namespace {

[[noreturn]] void Unsupported(const char* what) {
  std::fprintf(stderr, "emulated kernel: swprintf: unsupported conversion %s\n", what);
  std::abort();
}

// Appends the text with the requested width; narrow text is widened byte by byte.
template <typename Char>
void AppendPadded(std::u16string& out, const Char* text, size_t length, int width, bool left,
                  char16_t pad) {
  size_t fill = width > 0 && static_cast<size_t>(width) > length ? width - length : 0;
  if (!left) out.append(fill, pad);
  for (size_t i = 0; i < length; ++i) out.push_back(static_cast<char16_t>(text[i]));
  if (left) out.append(fill, u' ');
}

}  // namespace

// Supports %s %ws %S %hs %c %d %i %u %x %X with the l/h size prefixes, width, '-' and '0'.
int __cdecl swprintf(wchar_t* Buffer, const wchar_t* Format, ...) {
  va_list args;
  va_start(args, Format);
  std::u16string out;
  for (const wchar_t* f = Format; *f != 0; ++f) {
    if (*f != L'%') {
      out.push_back(static_cast<char16_t>(*f));
      continue;
    }
    ++f;
    if (*f == L'%') {
      out.push_back(u'%');
      continue;
    }
    bool left = false;
    char16_t pad = u' ';
    for (; *f == L'-' || *f == L'0'; ++f) {
      if (*f == L'-') left = true; else pad = u'0';
    }
    int width = 0;
    for (; *f >= L'0' && *f <= L'9'; ++f) width = width * 10 + (*f - L'0');
    enum { Default, Wide, Narrow } size = Default;
    if (*f == L'l' || *f == L'w') {
      size = Wide;
      ++f;
    } else if (*f == L'h') {
      size = Narrow;
      ++f;
    }
    switch (*f) {
      case L's':
      case L'S': {
        bool wide = (*f == L's') ? size != Narrow : size == Wide;
        if (wide) {
          const wchar_t* s = va_arg(args, const wchar_t*);
          if (s == nullptr) s = L"(null)";
          size_t n = 0;
          while (s[n] != 0) ++n;
          AppendPadded(out, s, n, width, left, u' ');
        } else {
          const char* s = va_arg(args, const char*);
          if (s == nullptr) s = "(null)";
          size_t n = 0;
          while (s[n] != 0) ++n;
          AppendPadded(out, s, n, width, left, u' ');
        }
        break;
      }
      case L'c': {
        wchar_t c = static_cast<wchar_t>(va_arg(args, int));
        AppendPadded(out, &c, 1, width, left, u' ');
        break;
      }
      case L'd':
      case L'i':
      case L'u':
      case L'x':
      case L'X': {
        char text[24];
        LONG value = va_arg(args, LONG);
        const char* spec = *f == L'u' ? "%u" : *f == L'x' ? "%x" : *f == L'X' ? "%X" : "%d";
        int n = (*f == L'd' || *f == L'i')
                    ? std::snprintf(text, sizeof text, spec, static_cast<int>(value))
                    : std::snprintf(text, sizeof text, spec, static_cast<unsigned>(value));
        AppendPadded(out, text, static_cast<size_t>(n), width, left, left ? u' ' : pad);
        break;
      }
      default: {
        char what[3] = {'%', static_cast<char>(*f), 0};
        Unsupported(what);
      }
    }
  }
  va_end(args);
  for (size_t i = 0; i < out.size(); ++i) Buffer[i] = static_cast<wchar_t>(out[i]);
  Buffer[out.size()] = 0;
  return static_cast<int>(out.size());
}
