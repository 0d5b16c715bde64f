#include "Foundation/NSFormat.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace objc {

namespace {

std::string printOne(const std::string& directive, const char* lengthAndConversion, auto value) {
  std::string f = directive + lengthAndConversion;
  int n = std::snprintf(nullptr, 0, f.c_str(), value);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n), '\0');
  std::snprintf(out.data(), out.size() + 1, f.c_str(), value);
  return out;
}

std::string describe(const FormatArg& a) {
  switch (a.kind) {
    case FormatArg::Kind::Object:
      return a.o ? a.o->description() : "(null)";
    case FormatArg::Kind::CString:
      return a.s ? a.s : "(null)";
    case FormatArg::Kind::Signed:
      return std::to_string(a.i);
    case FormatArg::Kind::Unsigned:
      return std::to_string(a.u);
    case FormatArg::Kind::Double:
      return printOne("%", "g", a.d);
    case FormatArg::Kind::Pointer:
      return printOne("%", "p", a.p);
  }
  return {};
}

int64_t asSigned(const FormatArg& a) {
  switch (a.kind) {
    case FormatArg::Kind::Signed:
      return a.i;
    case FormatArg::Kind::Unsigned:
      return static_cast<int64_t>(a.u);
    case FormatArg::Kind::Double:
      if (std::isnan(a.d)) return 0;
      if (a.d >= 9223372036854775808.0) return INT64_MAX;
      if (a.d <= -9223372036854775808.0) return INT64_MIN;
      return static_cast<int64_t>(a.d);
    default:
      return 0;
  }
}

}  // namespace

std::string formatArgs(std::string_view fmt, const std::vector<FormatArg>& args) {
  std::string out;
  size_t next = 0;
  auto take = [&]() -> const FormatArg* { return next < args.size() ? &args[next++] : nullptr; };

  for (size_t i = 0; i < fmt.size(); ++i) {
    char c = fmt[i];
    if (c != '%') {
      out += c;
      continue;
    }
    size_t start = i++;
    std::string directive = "%";
    while (i < fmt.size() && std::strchr("-+ #0'", fmt[i])) directive += fmt[i++];
    auto number = [&](bool precision) {
      if (i < fmt.size() && fmt[i] == '*') {
        ++i;
        const FormatArg* a = take();
        int64_t v = a ? asSigned(*a) : 0;
        if (precision && v < 0) {
          directive.pop_back();  // a negative precision counts as none, as in printf
        } else {
          directive += std::to_string(v);
        }
      } else {
        while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') directive += fmt[i++];
      }
    };
    number(false);
    if (i < fmt.size() && fmt[i] == '.') {
      directive += fmt[i++];
      number(true);
    }
    while (i < fmt.size() && std::strchr("hlqLzjt", fmt[i])) ++i;  // lengths come from the argument itself
    if (i >= fmt.size()) {
      out.append(fmt.substr(start));
      break;
    }
    char conv = fmt[i];
    if (conv == '%') {
      out += '%';
      continue;
    }
    if (conv == '\0' || !std::strchr("@diuoxXfFeEgGaAcsp", conv)) {
      out.append(fmt.substr(start, i - start + 1));  // not a conversion: printed as written, takes no argument
      continue;
    }
    const FormatArg* a = take();
    if (!a) continue;  // more conversions than arguments: the conversion prints nothing
    switch (conv) {
      case '@':
        out += describe(*a);
        break;
      case 'd':
      case 'i':
        if (a->kind == FormatArg::Kind::Signed || a->kind == FormatArg::Kind::Unsigned ||
            a->kind == FormatArg::Kind::Double) {
          out += printOne(directive, "lld", static_cast<long long>(asSigned(*a)));
        } else {
          out += describe(*a);
        }
        break;
      case 'u':
      case 'o':
      case 'x':
      case 'X': {
        const char ll[] = {'l', 'l', conv, '\0'};
        if (a->kind == FormatArg::Kind::Signed || a->kind == FormatArg::Kind::Unsigned ||
            a->kind == FormatArg::Kind::Double) {
          auto v = a->kind == FormatArg::Kind::Unsigned ? a->u : static_cast<uint64_t>(asSigned(*a));
          if (a->kind == FormatArg::Kind::Signed && a->size < 8) v &= (uint64_t{1} << (a->size * 8)) - 1;
          out += printOne(directive, ll, static_cast<unsigned long long>(v));
        } else {
          out += describe(*a);
        }
        break;
      }
      case 'f':
      case 'F':
      case 'e':
      case 'E':
      case 'g':
      case 'G':
      case 'a':
      case 'A': {
        const char cv[] = {conv, '\0'};
        double v = a->kind == FormatArg::Kind::Double     ? a->d
                   : a->kind == FormatArg::Kind::Unsigned ? static_cast<double>(a->u)
                                                          : static_cast<double>(a->i);
        if (a->kind == FormatArg::Kind::Double || a->kind == FormatArg::Kind::Signed ||
            a->kind == FormatArg::Kind::Unsigned) {
          out += printOne(directive, cv, v);
        } else {
          out += describe(*a);
        }
        break;
      }
      case 'c':
        if (a->kind == FormatArg::Kind::Signed || a->kind == FormatArg::Kind::Unsigned) {
          out += static_cast<char>(asSigned(*a));
        } else {
          out += describe(*a);
        }
        break;
      case 's':
        out += a->kind == FormatArg::Kind::CString ? printOne(directive, "s", a->s ? a->s : "(null)") : describe(*a);
        break;
      case 'p':
        out += printOne(directive, "p", a->kind == FormatArg::Kind::Object ? static_cast<const void*>(a->o) : a->p);
        break;
    }
  }
  return out;
}

}  // namespace objc
