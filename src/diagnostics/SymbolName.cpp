// Function names for crash reports, read without allocating.
#include "SymbolName.h"

#include <cstring>

#include "SafeText.h"

namespace vemo {
namespace detail {
namespace {

// The demangler of the C++ library allocates, so the report reads names itself: the qualified
// name of a function ("ns::Class::method", "(anonymous namespace)::helper", constructors and
// destructors), without its parameters, as the platform's symbol readers show names. Any name
// this does not cover (templates, operators, local entities) is shown as the symbol spells it.
class NameReader {
 public:
  NameReader(const char* mangled, SafeText& out) : _at(mangled), _out(out) {}

  bool read() {
    if (_at[0] != '_' || _at[1] != 'Z') return false;
    _at += 2;
    if (*_at == 'L') ++_at;  // internal linkage
    if (*_at != 'N') return part(true);
    ++_at;
    while (*_at == 'r' || *_at == 'V' || *_at == 'K' || *_at == 'R' || *_at == 'O')
      ++_at;  // qualifiers of a member function
    for (bool first = true; *_at != 'E'; first = false)
      if (!part(first)) return false;
    return true;
  }

 private:
  // One component of a qualified name.
  bool part(bool first) {
    if (first && _at[0] == 'S' && _at[1] == 't') {
      _at += 2;
      emit("std", 3);
      return part(false);
    }
    if (*_at == 'C' && _at[1] >= '1' && _at[1] <= '5') {  // constructor
      _at += 2;
      emit(_last, _lastLength);
      return true;
    }
    if (*_at == 'D' && _at[1] >= '0' && _at[1] <= '5') {  // destructor
      _at += 2;
      emit("~", 1);
      _out.text(_last, _lastLength);
      return true;
    }
    if (*_at < '1' || *_at > '9') return false;
    std::size_t length = 0;
    while (*_at >= '0' && *_at <= '9')
      length = length * 10 + static_cast<std::size_t>(*_at++ - '0');
    for (std::size_t i = 0; i < length; ++i)
      if (!_at[i]) return false;
    _last = _at;
    _lastLength = length;
    _at += length;
    if (length == 12 && std::strncmp(_last, "_GLOBAL__N_1", 12) == 0)
      emit("(anonymous namespace)", 21);
    else
      emit(_last, length);
    return true;
  }

  void emit(const char* text, std::size_t length) {
    if (_parts++ > 0) _out.text("::");
    _out.text(text, length);
  }

  const char* _at;
  SafeText& _out;
  const char* _last = "";
  std::size_t _lastLength = 0;
  int _parts = 0;
};

}  // namespace

void readableSymbolName(const char* mangled, char* name, std::size_t capacity) {
  {
    SafeText out(name, capacity);
    if (NameReader(mangled, out).read()) return;
  }
  SafeText out(name, capacity);
  out.text(mangled);
}

}  // namespace detail
}  // namespace vemo
