// The Python class BufrMessage: a read-only record of one parsed message.
#pragma once

#include "lib/frame_py.hpp"

namespace quorvex::py {

// A new BufrMessage owning `record`; nullptr with an exception set on failure.
PyObject* new_bufr_message(BufrMessage&& record);

// A new list of BufrMessage objects, one per record, in order.
PyObject* new_bufr_message_list(std::vector<BufrMessage>&& records);

}  // namespace quorvex::py
