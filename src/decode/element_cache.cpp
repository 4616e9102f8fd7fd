#include "decode/element_cache.hpp"

#include "decode/field.hpp"

namespace quorvex {

ElementInfo describe_element(const ElementDefinition& def, const TableSet& tables) {
  ElementInfo info{};
  info.def = &def;
  info.code_table = tables.find_code_table(def.code);
  info.text = is_text_unit(def.unit);
  info.code_or_flag = !info.text && is_code_or_flag_unit(def.unit);
  info.class31 = is_class31(def.code);
  return info;
}

}  // namespace quorvex
