#!/usr/bin/env python3
"""Generates lib/diag/QXWin32ErrorNames_generated.cpp from two published copies of winerror.h.

The generated file holds the symbolic names of the Windows error codes and HRESULTs, sorted
by value, and QXWin32ErrorName() that looks a value up in them. It is kept in the repository
so that builds without the headers (the host build) still have the table.

Sources, in order: the mingw-w64 winerror.h, then Wine's (Debian's libwine-dev). Neither is
complete: mingw-w64 lacks codes a USB library meets when a device goes away, such as
ERROR_NO_SUCH_DEVICE (433), ERROR_DEVICE_UNREACHABLE (321) and ERROR_DEVICE_HARDWARE_ERROR
(483). The table is the union of both. A value keeps the name of the first source that names
it; a name of the second source that the first gives another value is not taken, so one name
never stands for two values.

What becomes a row:
  * every object-like macro of the header whose value can be evaluated: plain decimal or hex
    literals (with U/L suffixes), __MSABI_LONG(...), _HRESULT_TYPEDEF_(...),
    _NDIS_ERROR_TYPEDEF_(...), casts such as ((HRESULT)0x...), sums such as
    (WSABASEERR + 4), references to other names of the header and HRESULT_FROM_WIN32(...);
  * success HRESULTs (S_FALSE, *_S_*) are HRESULTs too and are kept.
What does not:
  * function-like macros (SUCCEEDED, MAKE_HRESULT, HRESULT_FROM_WIN32 itself, ...);
  * the header's building blocks, which are not codes: FACILITY_*, SEVERITY_*, the range
    markers *_FIRST / *_LAST / *_BASE, WSABASEERR, DNS_ERROR_MASK and names that begin with
    an underscore (include guards and helpers);
  * text inside comments (the header has a commented-out #define).

Several names share one value (ERROR_SUCCESS, NO_ERROR, S_OK and SEC_E_OK are all 0;
ERROR_INVALID_FUNCTION and S_FALSE are both 1; aliases such as DNS_ERROR_NO_MEMORY). The table
has one name per value: the one defined first in the header, in line order. That keeps the
primary spelling (ERROR_SUCCESS for 0, the ERROR_ code before a later HRESULT or alias) and
makes the choice independent of anything but the headers themselves.

Usage:
  gen_win32_error_names.py [--header PATH]... [--output PATH]  write the generated file
  gen_win32_error_names.py --check                             exit 1 if the committed file
                                                               differs from a fresh generation
--header may be given several times; the default is both headers above, in that order.
Exit code 77 means a header was not found (CTest reports the check as skipped): a check
against one source alone would call a table made from both out of date, or the reverse.
"""

import argparse
import os
import re
import sys

DEFAULT_HEADERS = [
    "/usr/share/mingw-w64/include/winerror.h",  # Debian package mingw-w64-common
    "/usr/include/wine/wine/windows/winerror.h",  # Debian package libwine-dev
]
REPO_ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
DEFAULT_OUTPUT = os.path.join(REPO_ROOT, "lib", "diag", "QXWin32ErrorNames_generated.cpp")
EXIT_NO_HEADER = 77

# Macros that wrap a value without changing it.
TRANSPARENT_WRAPPERS = {"__MSABI_LONG", "_HRESULT_TYPEDEF_", "_NDIS_ERROR_TYPEDEF_"}
# Type names that may appear in casts in front of a value.
CAST_TYPES = {"HRESULT", "SCODE", "DWORD", "LONG", "ULONG", "NTSTATUS"}
# Building blocks of the header that are not codes of their own.
EXCLUDED_PREFIXES = ("_", "FACILITY_", "SEVERITY_")
EXCLUDED_SUFFIXES = ("_FIRST", "_LAST", "_BASE")
EXCLUDED_NAMES = {"WSABASEERR", "DNS_ERROR_MASK"}

DEFINE_RE = re.compile(r"^\s*#\s*define\s+([A-Za-z_]\w*)(\(?)(.*)$")
TOKEN_RE = re.compile(r"\s*(?:(0[xX][0-9A-Fa-f]+|\d+)[uUlL]*|([A-Za-z_]\w*)|(<<|[-+|()]))")


class EvalError(Exception):
    pass


def strip_comments(text):
    """Removes /* */ and // comments, keeping line breaks so line order stays intact."""
    text = re.sub(r"/\*.*?\*/", lambda m: "\n" * m.group(0).count("\n"), text, flags=re.S)
    return re.sub(r"//[^\n]*", "", text)


def tokenize(expr):
    tokens = []
    pos = 0
    expr = expr.strip()
    while pos < len(expr):
        m = TOKEN_RE.match(expr, pos)
        if not m or m.end() == pos:
            raise EvalError("cannot read %r" % expr[pos:])
        if m.group(1) is not None:
            tokens.append(("num", int(m.group(1), 0)))
        elif m.group(2) is not None:
            tokens.append(("id", m.group(2)))
        else:
            tokens.append(("op", m.group(3)))
        pos = m.end()
        while pos < len(expr) and expr[pos].isspace():
            pos += 1
    return tokens


class Resolver:
    """Evaluates the header's names on demand, each once, following references between them."""

    def __init__(self, raw_values):
        self.raw = raw_values  # name -> expression text
        self.cache = {}
        self.active = set()  # names being evaluated, to stop on circular references

    def value_of(self, name):
        if name in self.cache:
            return self.cache[name]
        if name not in self.raw or name in self.active:
            raise EvalError("unknown name %s" % name)
        self.active.add(name)
        try:
            value = ExpressionParser(self.raw[name], self).parse()
        finally:
            self.active.discard(name)
        self.cache[name] = value
        return value


class ExpressionParser:
    """Evaluates one value of the header's small expression language.

    expr    := shift ('|' shift)*
    shift   := sum ('<<' sum)*
    sum     := unary (('+' | '-') unary)*
    unary   := '-' unary | '(' CAST ')' unary | primary
    primary := NUMBER | NAME | WRAPPER '(' expr ')' | HRESULT_FROM_WIN32 '(' expr ')'
             | '(' expr ')'
    """

    def __init__(self, expr, resolver):
        self.expr = expr
        self.tokens = tokenize(expr)
        self.pos = 0
        self.resolver = resolver

    def parse(self):
        if not self.tokens:
            raise EvalError("empty value")
        value = self.parse_or()
        if self.pos != len(self.tokens):
            raise EvalError("trailing tokens in %r" % self.expr)
        return value & 0xFFFFFFFF

    def peek(self, offset=0):
        i = self.pos + offset
        return self.tokens[i] if i < len(self.tokens) else (None, None)

    def expect(self, op):
        if self.peek() != ("op", op):
            raise EvalError("expected %s in %r" % (op, self.expr))
        self.pos += 1

    def parse_or(self):
        value = self.parse_shift()
        while self.peek() == ("op", "|"):
            self.pos += 1
            value |= self.parse_shift()
        return value

    def parse_shift(self):
        value = self.parse_sum()
        while self.peek() == ("op", "<<"):
            self.pos += 1
            value <<= self.parse_sum()
        return value

    def parse_sum(self):
        value = self.parse_unary()
        while self.peek() in (("op", "+"), ("op", "-")):
            op = self.peek()[1]
            self.pos += 1
            rhs = self.parse_unary()
            value = value + rhs if op == "+" else value - rhs
        return value

    def parse_unary(self):
        if self.peek() == ("op", "-"):
            self.pos += 1
            return -self.parse_unary()
        if (self.peek() == ("op", "(") and self.peek(1)[0] == "id" and self.peek(1)[1] in CAST_TYPES
                and self.peek(2) == ("op", ")")):
            self.pos += 3
            return self.parse_unary()
        return self.parse_primary()

    def parse_parenthesized(self):
        self.expect("(")
        value = self.parse_or()
        self.expect(")")
        return value

    def parse_primary(self):
        kind, tok = self.peek()
        if kind == "num":
            self.pos += 1
            return tok
        if kind == "op" and tok == "(":
            return self.parse_parenthesized()
        if kind == "id":
            self.pos += 1
            if tok in TRANSPARENT_WRAPPERS:
                return self.parse_parenthesized()
            if tok == "HRESULT_FROM_WIN32":
                code = self.parse_parenthesized() & 0xFFFFFFFF
                # 0 and values that are negative as 32-bit signed numbers pass unchanged.
                if code == 0 or code & 0x80000000:
                    return code
                return (code & 0xFFFF) | 0x80070000
            return self.resolver.value_of(tok)
        raise EvalError("unexpected token %r in %r" % (tok, self.expr))


def is_excluded(name):
    return (name.startswith(EXCLUDED_PREFIXES) or name.endswith(EXCLUDED_SUFFIXES)
            or name in EXCLUDED_NAMES)


def parse_header(text):
    """Returns [(value, name)] of the header's codes, one per value, in header order."""
    defines = []  # (name, expression) of the object-like macros, in line order
    for line in strip_comments(text).splitlines():
        m = DEFINE_RE.match(line)
        if not m or m.group(2) == "(":
            continue  # not a #define, or a macro with parameters
        defines.append((m.group(1), m.group(3).strip()))

    # Later definitions of a name (none in the header today) do not replace the first one.
    raw = {}
    for name, expr in defines:
        raw.setdefault(name, expr)
    resolver = Resolver(raw)

    rows = []
    seen_names = set()
    seen_values = set()
    for name, _ in defines:
        if name in seen_names or is_excluded(name):
            continue
        seen_names.add(name)
        try:
            value = resolver.value_of(name)
        except EvalError:
            continue  # not a value (empty define, expression beyond the simple forms)
        if value in seen_values:
            continue  # the first name defined for a value wins
        seen_values.add(value)
        rows.append((value, name))
    return rows


def merge(sources):
    """The union of several headers' rows: first source first, one name per value and one
    value per name."""
    rows = []
    seen_values = set()
    seen_names = set()
    for source_rows in sources:
        for value, name in source_rows:
            if value in seen_values or name in seen_names:
                continue
            seen_values.add(value)
            seen_names.add(name)
            rows.append((value, name))
    return rows


def render(rows, counts):
    rows = sorted(rows)
    out = []
    out.append("// Generated by scripts/gen_win32_error_names.py from the winerror.h of mingw-w64 and of")
    out.append("// Wine. Do not edit; run the script again when a header changes.")
    out.append("// %d names (%s), sorted by value; where several names share a value, the"
               % (len(rows), " + ".join("%d" % c for c in counts)))
    out.append("// one the first header defines first is kept.")
    out.append("#include <algorithm>")
    out.append("#include <cstddef>")
    out.append("#include <cstdint>")
    out.append("#include <iterator>")
    out.append("")
    out.append('#include "diag/QXStatusNames.h"')
    out.append("")
    out.append("namespace plendrik {")
    out.append("")
    out.append("namespace {")
    out.append("")
    out.append("struct QXWin32ErrorNameEntry {")
    out.append("  uint32_t value;")
    out.append("  const char* name;")
    out.append("};")
    out.append("")
    out.append("constexpr QXWin32ErrorNameEntry kWin32ErrorNames[] = {")
    for value, name in rows:
        out.append('    {0x%08Xu, "%s"},' % (value, name))
    out.append("};")
    out.append("")
    out.append("// The lookup below relies on strictly increasing values.")
    out.append("constexpr bool IsStrictlyIncreasing() {")
    out.append("  for (size_t i = 1; i < std::size(kWin32ErrorNames); ++i) {")
    out.append("    if (kWin32ErrorNames[i - 1].value >= kWin32ErrorNames[i].value) {")
    out.append("      return false;")
    out.append("    }")
    out.append("  }")
    out.append("  return true;")
    out.append("}")
    out.append("static_assert(IsStrictlyIncreasing());")
    out.append("")
    out.append("}  // namespace")
    out.append("")
    out.append("const char* QXWin32ErrorName(uint32_t value) {")
    out.append("  const auto* first = std::begin(kWin32ErrorNames);")
    out.append("  const auto* last = std::end(kWin32ErrorNames);")
    out.append("  const auto* it = std::lower_bound(first, last, value, [](const QXWin32ErrorNameEntry& entry, uint32_t v) {")
    out.append("    return entry.value < v;")
    out.append("  });")
    out.append("  return (it != last && it->value == value) ? it->name : nullptr;")
    out.append("}")
    out.append("")
    out.append("}  // namespace plendrik")
    out.append("")
    return "\n".join(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--header", action="append", help="path of a winerror.h (repeatable, in order)")
    parser.add_argument("--output", default=DEFAULT_OUTPUT, help="path of the generated file")
    parser.add_argument("--check", action="store_true",
                        help="do not write; exit 1 if the output file is not up to date")
    args = parser.parse_args()

    sources = []
    for path in args.header or DEFAULT_HEADERS:
        try:
            with open(path, encoding="latin-1") as f:
                sources.append(parse_header(f.read()))
        except OSError as e:
            print("gen_win32_error_names: cannot read %s: %s" % (path, e), file=sys.stderr)
            return EXIT_NO_HEADER

    rows = merge(sources)
    # How many names each source adds to those before it.
    counts = []
    total = 0
    for i in range(len(sources)):
        n = len(merge(sources[: i + 1]))
        counts.append(n - total)
        total = n
    generated = render(rows, counts)

    if args.check:
        try:
            with open(args.output, encoding="utf-8", newline="") as f:
                current = f.read()
        except OSError:
            current = None
        if current != generated:
            print("gen_win32_error_names: %s is out of date; run %s" % (args.output, sys.argv[0]),
                  file=sys.stderr)
            return 1
        print("gen_win32_error_names: %s is up to date (%d names)" % (args.output, len(rows)))
        return 0

    with open(args.output, "w", encoding="utf-8", newline="\n") as f:
        f.write(generated)
    print("gen_win32_error_names: wrote %d names to %s" % (len(rows), args.output))
    return 0


if __name__ == "__main__":
    sys.exit(main())
