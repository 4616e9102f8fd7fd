// libFuzzer target: one message parsed as the package reads it, editions 2 and 3 by their own
// section 1 layout (year of century, no seconds) and with their typical date checked.
#include "fuzz_support.hpp"
#include "message/message.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quorvex;
  const auto m = parse_message(Bytes(data, size), ParseOptions{.older_editions = true});
  if (!m) {
    fuzz::check_error(m.error());
    return 0;
  }
  QV_FUZZ_CHECK(m->edition >= 2 && m->edition <= 4);
  QV_FUZZ_CHECK(m->total_length == size);
  QV_FUZZ_CHECK(m->section4_data_offset <= size);
  QV_FUZZ_CHECK(m->section4_data_length <= size - m->section4_data_offset);
  if (m->edition < 4) {
    // An accepted older header has a real date: the package builds a datetime from it.
    QV_FUZZ_CHECK(check_typical_date(*m).has_value());
    QV_FUZZ_CHECK(m->typical_second == 0);
  }
  return 0;
}
