// The "{}" message formatter: format strings with replacement fields and typed arguments,
// written into a fixed caller buffer without allocation. Mismatches between a format string
// and its arguments are reported on the debugger output; formatting always completes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "os/QXOsTypes.h"

namespace plendrik {

// Flags of a format specification.
enum : uint32_t {
  kQXFmtHex = 0x2,
  kQXFmtAlternate = 0x4,
  kQXFmtUpper = 0x8,
  kQXFmtFullWidth = 0x10,
  kQXFmtChar = 0x40,
  kQXFmtString = 0x80,
  kQXFmtPrecision = 0x400,
};

// One replacement field's specification; all zero when a field starts.
struct QXFormatSpec {
  uint32_t flags;
  uint32_t width;
  uint8_t fill;       // 0 = blank
  uint8_t align;      // '<', '=', '>', '^' or 0
  uint8_t sign;       // ' ', '+', '-' or 0
  uint8_t separator;  // '\'', ',', '_' or 0
};
static_assert(sizeof(QXFormatSpec) == 12);

// An integer handed to the sink: value (signed kinds sign-extended), size in bytes, signedness.
struct QXFormatInteger {
  uint64_t value;
  uint32_t size;
  bool isSigned;
};

// The output sink. Slot order matters to nobody outside, but is kept as designed.
class QXFormatterBase {
 public:
  virtual ~QXFormatterBase() = default;
  virtual void PutWideString(const QXWChar* text, const QXFormatSpec& spec) = 0;
  virtual void PutWideString2(const QXWChar* text, const QXFormatSpec& spec) = 0;
  virtual void PutString(const char* text, const QXFormatSpec& spec) = 0;
  virtual void PutRawString(const char* text) = 0;
  virtual void PutChar(unsigned ch) = 0;
  virtual void PutInteger(const QXFormatInteger& value, const QXFormatSpec& spec) = 0;
};

// A conversion function prints value into sink; with a null value it only puts the kind's
// default flags into spec. Returns 0 on success.
using QXFormatConvertFn = int (*)(QXFormatterBase& sink, QXFormatSpec& spec, const void* value);

struct QXFormatArg {
  const void* value;
  QXFormatConvertFn convert;
};

// Sink over a caller's buffer of C characters. Characters are stored while the write pointer
// is below the end pointer (the last element, kept for the terminating NUL); the count grows
// for every character produced.
template <class C>
class QXFormatterImplT : public QXFormatterBase {
 public:
  QXFormatterImplT(C* buffer, size_t bufferItems);

  void PutWideString(const QXWChar* text, const QXFormatSpec& spec) override;
  void PutWideString2(const QXWChar* text, const QXFormatSpec& spec) override;
  void PutString(const char* text, const QXFormatSpec& spec) override;
  void PutRawString(const char* text) override;
  void PutChar(unsigned ch) override;
  void PutInteger(const QXFormatInteger& value, const QXFormatSpec& spec) override;

  // Writes the NUL at the write pointer (the buffer must have at least one element).
  void Terminate();
  size_t Count() const { return mCount; }

 protected:
  C* mWrite;
  C* mEnd;
  size_t mCount;
};

template <class C>
class QXFormatterT : public QXFormatterImplT<C> {
 public:
  using QXFormatterImplT<C>::QXFormatterImplT;
  // Formats into the sink and terminates it; returns the length of the complete output.
  size_t FormatArgs(const C* formatString, const QXFormatArg* arguments, size_t argumentCount);
};

extern template class QXFormatterImplT<char>;
extern template class QXFormatterImplT<QXWChar>;
extern template class QXFormatterT<char>;
extern template class QXFormatterT<QXWChar>;

// A status argument: prints as its number and its name, "0xee000041(QXSTATUS_INVALID_PARAMETER)".
struct QXSt {
  QXSTATUS value;
};

// Conversion functions of the argument kinds.
int QXFormatConvertInt32(QXFormatterBase& sink, QXFormatSpec& spec, const void* value);
int QXFormatConvertUInt32(QXFormatterBase& sink, QXFormatSpec& spec, const void* value);
int QXFormatConvertInt64(QXFormatterBase& sink, QXFormatSpec& spec, const void* value);
int QXFormatConvertUInt64(QXFormatterBase& sink, QXFormatSpec& spec, const void* value);
int QXFormatConvertUInt16(QXFormatterBase& sink, QXFormatSpec& spec, const void* value);
int QXFormatConvertUInt8(QXFormatterBase& sink, QXFormatSpec& spec, const void* value);
int QXFormatConvertBool(QXFormatterBase& sink, QXFormatSpec& spec, const void* value);
int QXFormatConvertString(QXFormatterBase& sink, QXFormatSpec& spec, const void* value);      // const char* const*
int QXFormatConvertWideString(QXFormatterBase& sink, QXFormatSpec& spec, const void* value);  // const QXWChar* const*
int QXFormatConvertPointer(QXFormatterBase& sink, QXFormatSpec& spec, const void* value);     // const void* const*
int QXFormatConvertStatus(QXFormatterBase& sink, QXFormatSpec& spec, const void* value);      // const QXSt*
int QXFormatConvertStdString(QXFormatterBase& sink, QXFormatSpec& spec, const void* value);   // const std::string*
int QXFormatConvertStdWString(QXFormatterBase& sink, QXFormatSpec& spec, const void* value);  // const QXWString*

// Maps a call site's typed argument to its descriptor. The argument must outlive the call.
namespace detail {
template <class T>
QXFormatArg MakeArg(const T& v) {
  using U = std::remove_cv_t<T>;
  if constexpr (std::is_same_v<U, QXSt>) {
    return {&v, &QXFormatConvertStatus};
  } else if constexpr (std::is_same_v<U, bool>) {
    return {&v, &QXFormatConvertBool};
  } else if constexpr (std::is_same_v<U, std::string>) {
    return {&v, &QXFormatConvertStdString};
  } else if constexpr (std::is_same_v<U, QXWString>) {
    return {&v, &QXFormatConvertStdWString};
  } else if constexpr (std::is_same_v<U, const char*> || std::is_same_v<U, char*>) {
    return {&v, &QXFormatConvertString};
  } else if constexpr (std::is_same_v<U, const QXWChar*> || std::is_same_v<U, QXWChar*>) {
    return {&v, &QXFormatConvertWideString};
  } else if constexpr (std::is_null_pointer_v<U>) {
    // A nullptr_t object holds no pointer bits that could be read; point at a real null.
    static constexpr const void* kNull = nullptr;
    return {&kNull, &QXFormatConvertPointer};
  } else if constexpr (std::is_pointer_v<U>) {
    return {&v, &QXFormatConvertPointer};
  } else if constexpr (std::is_enum_v<U>) {
    static_assert(sizeof(U) <= 4, "enumerations print as 32-bit values");
    return {&v, std::is_signed_v<std::underlying_type_t<U>> ? &QXFormatConvertInt32 : &QXFormatConvertUInt32};
  } else if constexpr (std::is_integral_v<U> && sizeof(U) == 1) {
    static_assert(!std::is_same_v<U, char>, "pass text as a string, a character as an integer");
    return {&v, &QXFormatConvertUInt8};
  } else if constexpr (std::is_integral_v<U> && sizeof(U) == 2) {
    return {&v, &QXFormatConvertUInt16};
  } else if constexpr (std::is_integral_v<U> && sizeof(U) == 4) {
    return {&v, std::is_signed_v<U> ? &QXFormatConvertInt32 : &QXFormatConvertUInt32};
  } else if constexpr (std::is_integral_v<U> && sizeof(U) == 8) {
    return {&v, std::is_signed_v<U> ? &QXFormatConvertInt64 : &QXFormatConvertUInt64};
  } else {
    static_assert(sizeof(U) == 0, "no format kind for this argument type");
    return {nullptr, nullptr};
  }
}

// Arrays of characters (string literals) decay to their pointer kind; the pointer lives in a
// holder that outlives the call.
template <class T>
struct ArgHolder {
  const T& ref;
  const T& get() const { return ref; }
};
template <size_t N>
struct ArgHolder<char[N]> {
  const char* ptr;
  explicit ArgHolder(const char (&a)[N]) : ptr(a) {}
  const char* const& get() const { return ptr; }
};
template <size_t N>
struct ArgHolder<QXWChar[N]> {
  const QXWChar* ptr;
  explicit ArgHolder(const QXWChar (&a)[N]) : ptr(a) {}
  const QXWChar* const& get() const { return ptr; }
};
}  // namespace detail

// Formats into buffer (bufferItems elements, NUL included) and returns the full length.
template <class... A>
size_t QXFormat(char* buffer, size_t bufferItems, const char* formatString, const A&... args) {
  if constexpr (sizeof...(A) == 0) {
    QXFormatterT<char> f(buffer, bufferItems);
    return f.FormatArgs(formatString, nullptr, 0);
  } else {
    return [&](const auto&... holders) {
      const QXFormatArg list[] = {detail::MakeArg(holders.get())...};
      QXFormatterT<char> f(buffer, bufferItems);
      return f.FormatArgs(formatString, list, sizeof...(A));
    }(detail::ArgHolder<A>{args}...);
  }
}

template <class... A>
size_t QXFormatW(QXWChar* buffer, size_t bufferItems, const QXWChar* formatString, const A&... args) {
  if constexpr (sizeof...(A) == 0) {
    QXFormatterT<QXWChar> f(buffer, bufferItems);
    return f.FormatArgs(formatString, nullptr, 0);
  } else {
    return [&](const auto&... holders) {
      const QXFormatArg list[] = {detail::MakeArg(holders.get())...};
      QXFormatterT<QXWChar> f(buffer, bufferItems);
      return f.FormatArgs(formatString, list, sizeof...(A));
    }(detail::ArgHolder<A>{args}...);
  }
}

}  // namespace plendrik
