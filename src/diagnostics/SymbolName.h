// Readable function names for crash reports, made without allocating (the C++ library's
// demangler allocates, which a crash handler cannot).
#pragma once

#include <cstddef>

namespace vemo {
namespace detail {

// Writes into `name` (always terminated, cut at `capacity`) the qualified name that the symbol
// `mangled` stands for, without its parameter list, as the platforms' symbol readers show
// names: "ns::Class::method", "(anonymous namespace)::helper", "Class::Class", "Class::~Class".
// Names it does not cover (templates, operators, local entities, plain C names) are copied as
// they are.
void readableSymbolName(const char* mangled, char* name, std::size_t capacity);

}  // namespace detail
}  // namespace vemo
