#include "decode/decoded_value.hpp"

namespace quorvex {

// Function-local statics: constructed on first use, never destroyed before the values that
// point at them (the pointers are dropped with each result).
const std::string& associated_field_name() {
  static const std::string name("associatedField");
  return name;
}

const std::string& operator_name() {
  static const std::string name("operator");
  return name;
}

const std::string& signify_character_name() {
  static const std::string name("signifyCharacter");
  return name;
}

const std::string& role_name(ValueRole role) {
  static const std::string names[kValueRoles] = {
      "element", "replication_factor", "operator", "associated_field", "bitmap", "attribute"};
  return names[static_cast<std::size_t>(role)];
}

}  // namespace quorvex
