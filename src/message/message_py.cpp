// The Python class BufrMessage: one read-only attribute per record field, no constructor.
#include "message/message_py.hpp"

#include <new>
#include <string>
#include <utility>

namespace quorvex::py {

namespace {

struct MessageObject {
  PyObject_HEAD
  BufrMessage record;
};

PyTypeObject* message_type = nullptr;

const BufrMessage& record_of(PyObject* self) { return reinterpret_cast<MessageObject*>(self)->record; }

PyObject* to_python(std::size_t v) { return PyLong_FromSize_t(v); }
PyObject* to_python(std::uint16_t v) { return PyLong_FromLong(v); }
PyObject* to_python(std::uint8_t v) { return PyLong_FromLong(v); }
PyObject* to_python(bool v) { return PyBool_FromLong(v); }
PyObject* to_python(const std::vector<std::uint32_t>& codes) { return new_code_list(codes); }

// Getter of one field; every access builds a new object (a new list for the codes).
template <auto Field>
PyObject* get_field(PyObject* self, void*) {
  return to_python(record_of(self).*Field);
}

// clang-format off
#define QV_FIELD(name) {#name, get_field<&BufrMessage::name>, nullptr, nullptr, nullptr}
// clang-format on

// In record field order, which is also the attribute order of the class.
PyGetSetDef message_getset[] = {
    QV_FIELD(total_length),
    QV_FIELD(edition),
    QV_FIELD(section1_length),
    QV_FIELD(master_table_number),
    QV_FIELD(originating_centre),
    QV_FIELD(originating_subcentre),
    QV_FIELD(update_sequence_number),
    QV_FIELD(local_section_present),
    QV_FIELD(data_category),
    QV_FIELD(international_data_subcategory),
    QV_FIELD(local_data_subcategory),
    QV_FIELD(master_tables_version_number),
    QV_FIELD(local_tables_version_number),
    QV_FIELD(typical_year),
    QV_FIELD(typical_month),
    QV_FIELD(typical_day),
    QV_FIELD(typical_hour),
    QV_FIELD(typical_minute),
    QV_FIELD(typical_second),
    QV_FIELD(section2_length),
    QV_FIELD(section3_length),
    QV_FIELD(number_of_subsets),
    QV_FIELD(observed_data),
    QV_FIELD(compressed_data),
    QV_FIELD(unexpanded_descriptors),
    QV_FIELD(section4_length),
    QV_FIELD(section4_data_offset),
    QV_FIELD(section4_data_length),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef QV_FIELD

// BufrMessage(edition=4, length=120, subsets=1, descriptors=[307080, 1001])
PyObject* message_repr(PyObject* self) {
  return guarded([self]() -> PyObject* {
    const BufrMessage& m = record_of(self);
    std::string text = "BufrMessage(edition=" + std::to_string(m.edition) +
                       ", length=" + std::to_string(m.total_length) +
                       ", subsets=" + std::to_string(m.number_of_subsets) + ", descriptors=[";
    for (std::size_t k = 0; k < m.unexpanded_descriptors.size(); ++k) {
      if (k > 0) text += ", ";
      text += std::to_string(m.unexpanded_descriptors[k]);
    }
    text += "])";
    return new_str(text);
  });
}

void message_dealloc(PyObject* self) {
  PyRef type = PyRef::steal(reinterpret_cast<PyObject*>(Py_TYPE(self)));  // alloc's reference
  reinterpret_cast<MessageObject*>(self)->record.~BufrMessage();
  Py_TYPE(self)->tp_free(self);
}

PyType_Slot message_slots[] = {
    {Py_tp_getset, message_getset},
    {Py_tp_repr, reinterpret_cast<void*>(message_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(message_dealloc)},
    {0, nullptr},
};

PyType_Spec message_spec = {
    "builtins.BufrMessage",
    sizeof(MessageObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    message_slots,
};

}  // namespace

PyObject* new_bufr_message(BufrMessage&& record) {
  PyObject* self = message_type->tp_alloc(message_type, 0);
  if (self == nullptr) return nullptr;
  new (&reinterpret_cast<MessageObject*>(self)->record) BufrMessage(std::move(record));
  return self;
}

PyObject* new_bufr_message_list(std::vector<BufrMessage>&& records) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(records.size())));
  if (!list) return nullptr;
  for (std::size_t k = 0; k < records.size(); ++k) {
    PyObject* item = new_bufr_message(std::move(records[k]));
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), item);
  }
  return list.release();
}

PyTypeObject* bufr_message_type() { return message_type; }

const BufrMessage& bufr_message_record(PyObject* o) { return record_of(o); }

bool register_bufr_message(PyObject* m) {
  if (message_type == nullptr) message_type = make_type(&message_spec);
  return add_type(m, message_type, "BufrMessage");
}

}  // namespace quorvex::py
