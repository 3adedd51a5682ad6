// Simple enumerations: members are class attributes; repr is
// "<Class>.<Member>"; int() gives the value; == and != compare with members
// and with ints; no ordering; members are unhashable; no constructor.
#pragma once

#include <span>

#include "py/type_builder.hpp"

namespace kavex::py {

struct EnumMember {
  const char* name;  // static storage
  long value;
};

// Builds the enumeration class and its members. `qualified_name` and the
// member names must have static storage.
Ref build_enum(const char* qualified_name, const char* doc, std::span<const EnumMember> members);

}  // namespace kavex::py
