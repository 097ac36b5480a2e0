#include "diag/QXFormatter.h"

#include <cstdio>

#include "diag/QXDebugPrintf.h"
#include "diag/QXStatusNames.h"

namespace plendrik {

namespace {

const char kNullText[] = "<<nullptr>>";

// The numeric value of one code unit; narrow characters count as unsigned bytes.
template <class S>
uint32_t UnitValue(S unit) {
  if constexpr (sizeof(S) == 1) {
    return static_cast<unsigned char>(unit);
  } else {
    return static_cast<uint32_t>(unit);
  }
}

// Converts one source unit to the sink's character type: bytes widen by zero extension,
// wide units that do not fit a byte become '?'.
template <class C, class S>
C ConvertUnit(S unit) {
  const uint32_t v = UnitValue(unit);
  if constexpr (sizeof(C) == 1) {
    return static_cast<C>(v < 256 ? v : static_cast<uint32_t>('?'));
  } else {
    return static_cast<C>(v);
  }
}

template <class S>
size_t UnitLength(const S* text) {
  size_t n = 0;
  while (text[n] != S()) {
    ++n;
  }
  return n;
}

bool IsSpaceValue(uint32_t v) { return v == ' ' || (v >= 9 && v <= 13); }
bool IsDigitValue(uint32_t v) { return v >= '0' && v <= '9'; }
bool IsAlignValue(uint32_t v) { return v == '<' || v == '=' || v == '>' || v == '^'; }

// Bounded writer over the sink's fields. A unit is stored only while the write pointer is
// below the end pointer; the count grows for every unit produced, stored or not.
template <class C>
struct Output {
  C*& write;
  C* end;
  size_t& count;

  size_t Room() const { return write < end ? static_cast<size_t>(end - write) : 0; }

  void Put(C unit) {
    if (write < end) {
      *write++ = unit;
    }
    ++count;
  }

  // Repeats one unit; what does not fit is only counted, so a huge width costs nothing.
  void Repeat(C unit, size_t n) {
    const size_t room = Room();
    const size_t stored = n < room ? n : room;
    for (size_t i = 0; i < stored; ++i) {
      *write++ = unit;
    }
    count += n;
  }

  template <class S>
  void PutUnits(const S* text, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      Put(ConvertUnit<C>(text[i]));
    }
  }

  // Lays out prefix (sign or "0x") and body within the field width:
  // '<' prefix body fill, '=' prefix fill body, '^' half the fill before and the rest after,
  // '>' or none fill prefix body. Strings have no prefix, so '=' right-aligns them.
  template <class S>
  void PutField(const QXFormatSpec& spec, const char* prefix, size_t prefixLength, const S* body,
                size_t bodyLength) {
    const size_t produced = prefixLength + bodyLength;
    const size_t pad = spec.width > produced ? spec.width - produced : 0;
    const C fill = static_cast<C>(spec.fill != 0 ? spec.fill : ' ');
    switch (spec.align) {
      case '<':
        PutUnits(prefix, prefixLength);
        PutUnits(body, bodyLength);
        Repeat(fill, pad);
        break;
      case '=':
        PutUnits(prefix, prefixLength);
        Repeat(fill, pad);
        PutUnits(body, bodyLength);
        break;
      case '^':
        Repeat(fill, pad / 2);
        PutUnits(prefix, prefixLength);
        PutUnits(body, bodyLength);
        Repeat(fill, pad - pad / 2);
        break;
      default:
        Repeat(fill, pad);
        PutUnits(prefix, prefixLength);
        PutUnits(body, bodyLength);
        break;
    }
  }
};

// Builds the text of an integer: an optional prefix ("-", "+", " " or "0x") and the body
// (digits with separators, or the character form).
struct IntegerText {
  char prefix[2] = {};
  size_t prefixLength = 0;
  char digits[72];  // filled from the right: 20 decimal digits and 6 separators at most
  size_t start = sizeof(digits);

  void Push(char c) { digits[--start] = c; }
  const char* Body() const { return digits + start; }
  size_t BodyLength() const { return sizeof(digits) - start; }
};

void BuildInteger(const QXFormatInteger& number, const QXFormatSpec& spec, IntegerText& out) {
  const uint32_t size = (number.size == 1 || number.size == 2 || number.size == 4) ? number.size : 8;
  const unsigned bits = size * 8;
  uint64_t value = number.value;
  if (bits < 64) {
    const uint64_t mask = (uint64_t{1} << bits) - 1;
    value &= mask;
    if (number.isSigned && (value >> (bits - 1)) != 0) {
      value |= ~mask;  // sign-extend from the record's size
    }
  }

  if ((spec.flags & kQXFmtChar) != 0) {
    if (value == 0) {
      out.Push('L');
      out.Push('U');
      out.Push('N');
    } else {
      const unsigned low = static_cast<unsigned>(value & 0xFF);
      out.Push(low >= 32 && low <= 127 ? static_cast<char>(low) : '?');
    }
    return;
  }

  if ((spec.flags & kQXFmtHex) != 0) {
    const char* table = (spec.flags & kQXFmtUpper) != 0 ? "0123456789ABCDEF" : "0123456789abcdef";
    if (bits < 64) {
      value &= (uint64_t{1} << bits) - 1;  // hexadecimal shows the raw bits of the type
    }
    const unsigned group = size > 4 ? size : 4;
    const unsigned minDigits = (spec.flags & kQXFmtFullWidth) != 0 ? size * 2 : 1;
    unsigned n = 0;
    do {
      if (spec.separator != 0 && n != 0 && n % group == 0) {
        out.Push(static_cast<char>(spec.separator));
      }
      out.Push(table[value & 0xF]);
      value >>= 4;
      ++n;
    } while (value != 0 || n < minDigits);
    if ((spec.flags & kQXFmtAlternate) != 0) {
      out.prefix[0] = '0';
      out.prefix[1] = 'x';
      out.prefixLength = 2;
    }
    return;
  }

  const bool negative = number.isSigned && static_cast<int64_t>(value) < 0;
  uint64_t magnitude = negative ? uint64_t{0} - value : value;
  unsigned n = 0;
  do {
    if (spec.separator != 0 && n != 0 && n % 3 == 0) {
      out.Push(static_cast<char>(spec.separator));
    }
    out.Push(static_cast<char>('0' + magnitude % 10));
    magnitude /= 10;
    ++n;
  } while (magnitude != 0);
  if (negative) {
    out.prefix[0] = '-';
    out.prefixLength = 1;
  } else if (spec.sign == '+' || spec.sign == ' ') {
    out.prefix[0] = static_cast<char>(spec.sign);
    out.prefixLength = 1;
  }
}

// Reports a mismatch between a format string and its arguments on the debugger output:
// one line with the problem, one with the format string.
template <class C>
class Diagnostics {
 public:
  Diagnostics(const C* formatString, size_t argumentCount)
      : mFormat(formatString), mArgumentCount(argumentCount) {}

  void Warning(const char* text) const { Report("WARNING", text); }
  void Error(const char* text) const { Report("ERROR", text); }

 private:
  void Report(const char* level, const char* text) const {
    const char* function = sizeof(C) == 1 ? "plendrik::QXFormatterT<char>::FormatArgs"
                                          : "plendrik::QXFormatterT<wchar_t>::FormatArgs";
    QXDebugPrintf("%s: %s: %s: %s FormatString follows, %u arguments.\n", QXGetModuleName(), level, function,
                  text, static_cast<unsigned>(mArgumentCount));
    if constexpr (sizeof(C) == 1) {
      QXDebugPrintf("%s\n", mFormat);
    } else {
      // The debugger output is narrow and cut at 512 bytes anyway.
      char narrow[512];
      size_t n = 0;
      for (; n + 1 < sizeof(narrow) && mFormat[n] != C(); ++n) {
        narrow[n] = ConvertUnit<char>(mFormat[n]);
      }
      narrow[n] = '\0';
      QXDebugPrintf("%s\n", narrow);
    }
  }

  const C* mFormat;
  size_t mArgumentCount;
};

// Parses a format specification behind ':' up to its type; p stops on the closing '}' or
// white space, or on the terminating NUL of an incomplete specification.
template <class C>
void ParseSpecification(const C*& p, QXFormatSpec& spec, const Diagnostics<C>& diagnostics) {
  const uint32_t first = UnitValue(p[0]);
  if (first != 0 && IsAlignValue(UnitValue(p[1]))) {
    spec.fill = static_cast<uint8_t>(first < 256 ? first : '?');
    spec.align = static_cast<uint8_t>(UnitValue(p[1]));
    p += 2;
  } else if (IsAlignValue(first)) {
    spec.align = static_cast<uint8_t>(first);
    ++p;
  }

  uint32_t v = UnitValue(*p);
  if (v == ' ' || v == '+' || v == '-') {
    spec.sign = static_cast<uint8_t>(v);
    v = UnitValue(*++p);
  }
  if (v == '#') {
    spec.flags |= kQXFmtAlternate;
    v = UnitValue(*++p);
  }
  if (v == '0') {
    if (spec.align == 0) {
      spec.fill = '0';
      spec.align = '=';
    }
    v = UnitValue(*++p);
  }
  if (IsDigitValue(v)) {
    uint64_t width = 0;
    for (; IsDigitValue(v); v = UnitValue(*++p)) {
      width = width * 10 + (v - '0');
      if (width > UINT32_MAX) {
        width = UINT32_MAX;
      }
    }
    spec.width = static_cast<uint32_t>(width);
  }
  if (v == '\'' || v == ',' || v == '_') {
    spec.separator = static_cast<uint8_t>(v);
    v = UnitValue(*++p);
  }
  if (v == '.') {
    spec.flags |= kQXFmtPrecision;
    for (v = UnitValue(*++p); IsDigitValue(v); v = UnitValue(*++p)) {
    }
  }

  for (;; v = UnitValue(*++p)) {
    switch (v) {
      case 0:
        diagnostics.Error("Incomplete format specification.");
        return;
      case '}':
      case ' ':
      case '\t':
      case '\n':
      case '\v':
      case '\f':
      case '\r':
        return;
      case 'x':
        spec.flags |= kQXFmtHex;
        if ((spec.flags & kQXFmtAlternate) != 0) {
          spec.flags |= kQXFmtFullWidth;
        }
        ++p;
        return;
      case 'X':
        spec.flags |= kQXFmtHex | kQXFmtUpper;
        if ((spec.flags & kQXFmtAlternate) != 0) {
          spec.flags |= kQXFmtFullWidth;
        }
        ++p;
        return;
      case 'd':
      case 'n':
        spec.flags &= ~static_cast<uint32_t>(kQXFmtHex);
        ++p;
        return;
      case 'c':
        spec.flags |= kQXFmtChar;
        ++p;
        return;
      case 's':
        spec.flags |= kQXFmtString;
        ++p;
        return;
      case 'e':
      case 'f':
      case 'g':
      case 'E':
      case 'F':
      case 'G':
        ++p;
        return;
      default: {
        char text[64];
        snprintf(text, sizeof(text), "Ignoring unsupported format specifier %d.", static_cast<int>(v));
        diagnostics.Warning(text);
        break;
      }
    }
  }
}

template <class S>
int PrintInteger(QXFormatterBase& sink, const QXFormatSpec& spec, const void* value) {
  if (value != nullptr) {
    const S v = *static_cast<const S*>(value);
    const uint64_t bits = std::is_signed_v<S> ? static_cast<uint64_t>(static_cast<int64_t>(v))
                                                : static_cast<uint64_t>(v);
    sink.PutInteger(QXFormatInteger{bits, sizeof(S), std::is_signed_v<S>}, spec);
  }
  return 0;
}

constexpr uint32_t kHexAddressFlags = kQXFmtHex | kQXFmtAlternate | kQXFmtFullWidth;

}  // namespace

// ---- sink over the caller's buffer ----

template <class C>
QXFormatterImplT<C>::QXFormatterImplT(C* buffer, size_t bufferItems)
    : mWrite(bufferItems != 0 ? buffer : nullptr),
      mEnd(bufferItems != 0 && buffer != nullptr ? buffer + bufferItems - 1 : nullptr),
      mCount(0) {}

template <class C>
void QXFormatterImplT<C>::PutWideString(const QXWChar* text, const QXFormatSpec& spec) {
  if (text == nullptr) {
    PutString(kNullText, spec);
    return;
  }
  Output<C>{mWrite, mEnd, mCount}.PutField(spec, "", 0, text, UnitLength(text));
}

template <class C>
void QXFormatterImplT<C>::PutWideString2(const QXWChar* text, const QXFormatSpec& spec) {
  PutWideString(text, spec);
}

template <class C>
void QXFormatterImplT<C>::PutString(const char* text, const QXFormatSpec& spec) {
  if (text == nullptr) {
    text = kNullText;
  }
  Output<C>{mWrite, mEnd, mCount}.PutField(spec, "", 0, text, UnitLength(text));
}

template <class C>
void QXFormatterImplT<C>::PutRawString(const char* text) {
  if (text != nullptr) {
    Output<C>{mWrite, mEnd, mCount}.PutUnits(text, UnitLength(text));
  }
}

template <class C>
void QXFormatterImplT<C>::PutChar(unsigned ch) {
  const unsigned limit = sizeof(C) == 1 ? 0xFFu : 0xFFFFu;
  Output<C>{mWrite, mEnd, mCount}.Put(static_cast<C>(ch <= limit ? ch : '?'));
}

template <class C>
void QXFormatterImplT<C>::PutInteger(const QXFormatInteger& value, const QXFormatSpec& spec) {
  IntegerText text;
  BuildInteger(value, spec, text);
  Output<C>{mWrite, mEnd, mCount}.PutField(spec, text.prefix, text.prefixLength, text.Body(), text.BodyLength());
}

template <class C>
void QXFormatterImplT<C>::Terminate() {
  if (mWrite != nullptr) {
    *mWrite = C();
  }
}

// ---- the format language ----

template <class C>
size_t QXFormatterT<C>::FormatArgs(const C* formatString, const QXFormatArg* arguments, size_t argumentCount) {
  static const C kEmpty[1] = {};
  const C* p = formatString != nullptr ? formatString : kEmpty;
  const Diagnostics<C> diagnostics(p, argumentCount);
  if (arguments == nullptr) {
    argumentCount = 0;
  }
  Output<C> out{this->mWrite, this->mEnd, this->mCount};

  bool inField = false;
  bool prepared = false;
  size_t current = 0;
  size_t used = 0;
  QXFormatSpec spec{};

  // Asks the current argument for its kind's default flags, once per field.
  auto prepare = [&] {
    if (!prepared) {
      if (arguments[current].convert != nullptr) {
        arguments[current].convert(*this, spec, nullptr);
      }
      prepared = true;
    }
  };

  while (*p != C()) {
    const uint32_t v = UnitValue(*p);
    if (!inField) {
      if (v == '{' || v == '}') {
        if (UnitValue(p[1]) == v) {
          out.Put(*p);
          p += 2;
        } else if (v == '{') {
          inField = true;
          prepared = false;
          spec = QXFormatSpec{};
          ++p;
        } else {
          diagnostics.Warning("Discarding unexpected closing bracket }.");
          ++p;
        }
      } else {
        out.Put(*p++);
      }
      continue;
    }

    if (IsSpaceValue(v)) {
      ++p;
    } else if (IsDigitValue(v)) {
      uint64_t index = 0;
      for (; IsDigitValue(UnitValue(*p)); ++p) {
        index = index * 10 + (UnitValue(*p) - '0');
        if (index > UINT32_MAX) {
          index = UINT32_MAX;
        }
      }
      if (index >= argumentCount) {
        char text[80];
        snprintf(text, sizeof(text), "Index=%u is an invalid index specification.",
                 static_cast<unsigned>(index));
        diagnostics.Error(text);
      } else {
        current = static_cast<size_t>(index);
      }
    } else if (v == ':') {
      ++p;
      if (current < argumentCount) {
        prepare();
      }
      if (UnitValue(*p) != '}') {
        ParseSpecification(p, spec, diagnostics);
      }
    } else if (v == '}') {
      ++p;
      inField = false;
      if (current < argumentCount) {
        prepare();
        const QXFormatArg& argument = arguments[current];
        if (argument.convert == nullptr || argument.convert(*this, spec, argument.value) != 0) {
          char text[64];
          snprintf(text, sizeof(text), "Conversion of argument %u failed.", static_cast<unsigned>(current));
          diagnostics.Error(text);
        }
        ++current;
        if (current > used) {
          used = current;
        }
      } else {
        diagnostics.Error("No argument for {} replacement field.");
      }
    } else {
      char text[96];
      snprintf(text, sizeof(text), "Ignoring unexpected character %d within {} replacement field.",
               static_cast<int>(v));
      diagnostics.Warning(text);
      ++p;
    }
  }

  this->Terminate();
  if (used < argumentCount) {
    diagnostics.Error("More arguments than {} replacement fields.");
  }
  if (inField) {
    diagnostics.Error("Missing closing bracket }.");
  }
  return this->mCount;
}

template class QXFormatterImplT<char>;
template class QXFormatterImplT<QXWChar>;
template class QXFormatterT<char>;
template class QXFormatterT<QXWChar>;

// ---- conversion functions of the argument kinds ----

int QXFormatConvertInt32(QXFormatterBase& sink, QXFormatSpec& spec, const void* value) {
  return PrintInteger<int32_t>(sink, spec, value);
}

int QXFormatConvertUInt32(QXFormatterBase& sink, QXFormatSpec& spec, const void* value) {
  return PrintInteger<uint32_t>(sink, spec, value);
}

int QXFormatConvertInt64(QXFormatterBase& sink, QXFormatSpec& spec, const void* value) {
  return PrintInteger<int64_t>(sink, spec, value);
}

int QXFormatConvertUInt64(QXFormatterBase& sink, QXFormatSpec& spec, const void* value) {
  return PrintInteger<uint64_t>(sink, spec, value);
}

int QXFormatConvertUInt16(QXFormatterBase& sink, QXFormatSpec& spec, const void* value) {
  return PrintInteger<uint16_t>(sink, spec, value);
}

int QXFormatConvertUInt8(QXFormatterBase& sink, QXFormatSpec& spec, const void* value) {
  return PrintInteger<uint8_t>(sink, spec, value);
}

// A bool prints as the 8-bit number 0 or 1.
int QXFormatConvertBool(QXFormatterBase& sink, QXFormatSpec& spec, const void* value) {
  if (value != nullptr) {
    const uint8_t v = *static_cast<const bool*>(value) ? 1 : 0;
    return PrintInteger<uint8_t>(sink, spec, &v);
  }
  return 0;
}

int QXFormatConvertString(QXFormatterBase& sink, QXFormatSpec& spec, const void* value) {
  if (value == nullptr) {
    return 0;
  }
  const char* text = *static_cast<const char* const*>(value);
  sink.PutString(text != nullptr ? text : kNullText, spec);
  return text != nullptr ? 0 : 1;
}

int QXFormatConvertWideString(QXFormatterBase& sink, QXFormatSpec& spec, const void* value) {
  if (value == nullptr) {
    return 0;
  }
  const QXWChar* text = *static_cast<const QXWChar* const*>(value);
  if (text == nullptr) {
    sink.PutString(kNullText, spec);
    return 1;
  }
  sink.PutWideString(text, spec);
  return 0;
}

int QXFormatConvertPointer(QXFormatterBase& sink, QXFormatSpec& spec, const void* value) {
  if (value == nullptr) {
    spec.flags |= kHexAddressFlags;
    return 0;
  }
  const uint64_t address = reinterpret_cast<uintptr_t>(*static_cast<const void* const*>(value));
  sink.PutInteger(QXFormatInteger{address, 8, false}, spec);
  return 0;
}

int QXFormatConvertStatus(QXFormatterBase& sink, QXFormatSpec& spec, const void* value) {
  if (value == nullptr) {
    spec.flags |= kHexAddressFlags;
    return 0;
  }
  const QXSTATUS status = static_cast<const QXSt*>(value)->value;
  sink.PutInteger(QXFormatInteger{status, 4, false}, spec);
  sink.PutChar('(');
  sink.PutRawString(QXStatusLogName(status));
  sink.PutChar(')');
  return 0;
}

int QXFormatConvertStdString(QXFormatterBase& sink, QXFormatSpec& spec, const void* value) {
  if (value != nullptr) {
    sink.PutString(static_cast<const std::string*>(value)->c_str(), spec);
  }
  return 0;
}

int QXFormatConvertStdWString(QXFormatterBase& sink, QXFormatSpec& spec, const void* value) {
  if (value != nullptr) {
    sink.PutWideString(static_cast<const QXWString*>(value)->c_str(), spec);
  }
  return 0;
}

}  // namespace plendrik
