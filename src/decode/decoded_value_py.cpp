// DecodedValue: a small immutable object per decoded value. Its fields are held natively;
// Python ints and floats are made only when an attribute is read. It references nothing
// but str objects, so it takes no part in garbage collection.
#include "decode/decoded_value_py.hpp"

#include <cmath>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "decode/field.hpp"
#include "lib/text.hpp"

namespace quorvex::py {

namespace {

struct ValueObject {
  PyObject_HEAD
  double raw_value;
  std::uint64_t raw;
  PyObject* name;     // str, never null
  PyObject* text;     // str, or null when raw_text is absent
  PyObject* meaning;  // str, or null when raw_meaning is absent
  std::uint32_t descriptor;
  std::uint8_t flags;  // DecodedValue::kHasValue | kHasRaw
};

PyTypeObject* value_type = nullptr;

ValueObject* as_value(PyObject* self) { return reinterpret_cast<ValueObject*>(self); }

// Freed instances kept for reuse, linked through their `name` field: decoding makes and
// drops values by the hundred thousand, and recycling them spares the allocator (most of
// all for large results, whose memory pymalloc would otherwise take from fresh arenas
// every time). Bounded: at most kFreeLimit objects (4 MiB) are kept.
constexpr std::size_t kFreeLimit = std::size_t{1} << 16;
ValueObject* free_values = nullptr;
std::size_t free_count = 0;

// Instances are made only here: recycled or plain object memory, the type's reference
// taken by PyObject_Init (a heap type), no zeroing and no GC header.
ValueObject* alloc_value() {
  void* memory;
  if (free_values != nullptr) {
    memory = free_values;
    free_values = reinterpret_cast<ValueObject*>(free_values->name);
    --free_count;
  } else {
    memory = PyObject_Malloc(sizeof(ValueObject));
    if (memory == nullptr) {
      PyErr_NoMemory();
      return nullptr;
    }
  }
  return as_value(PyObject_Init(static_cast<PyObject*>(memory), value_type));
}

void value_dealloc(PyObject* self) {
  ValueObject* v = as_value(self);
  PyTypeObject* type = Py_TYPE(self);
  Py_DECREF(v->name);
  Py_XDECREF(v->text);
  Py_XDECREF(v->meaning);
  if (free_count < kFreeLimit) {
    v->name = reinterpret_cast<PyObject*>(free_values);
    free_values = v;
    ++free_count;
  } else {
    PyObject_Free(self);
  }
  Py_DECREF(type);
}

PyObject* get_descriptor(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(as_value(self)->descriptor);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_value(self)->name); }

PyObject* get_raw_value(PyObject* self, void*) {
  const ValueObject* v = as_value(self);
  if ((v->flags & DecodedValue::kHasValue) == 0) Py_RETURN_NONE;
  return PyFloat_FromDouble(v->raw_value);
}

PyObject* get_raw(PyObject* self, void*) {
  const ValueObject* v = as_value(self);
  if ((v->flags & DecodedValue::kHasRaw) == 0) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(v->raw);
}

PyObject* optional_str(PyObject* s) {
  if (s == nullptr) Py_RETURN_NONE;
  return Py_NewRef(s);
}

PyObject* get_raw_text(PyObject* self, void*) { return optional_str(as_value(self)->text); }

PyObject* get_raw_meaning(PyObject* self, void*) { return optional_str(as_value(self)->meaning); }

// The text, else the meaning, else the number, else None.
PyObject* get_data(PyObject* self, void*) {
  const ValueObject* v = as_value(self);
  if (v->text != nullptr) return Py_NewRef(v->text);
  if (v->meaning != nullptr) return Py_NewRef(v->meaning);
  return get_raw_value(self, nullptr);
}

// The shortest text that reads back to `x`: exponent form (1e16, 1.5e-5) from 1e16 up
// and below 1e-4, plain decimal with at least one fractional digit otherwise; NaN, inf.
// The interpreter's repr has the same shape apart from the exponent's "+" and padding.
bool append_number(std::string& out, double x) {
  if (std::isnan(x)) {
    out += "NaN";
    return true;
  }
  char* text = PyOS_double_to_string(x, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
  if (text == nullptr) return false;
  const std::string_view s(text);
  const std::size_t e = s.find('e');
  if (e == std::string_view::npos) {
    out += s;
  } else {
    out += s.substr(0, e + 1);
    std::size_t p = e + 1;
    if (p < s.size() && s[p] == '-') out += s[p++];
    if (p < s.size() && s[p] == '+') ++p;
    while (p + 1 < s.size() && s[p] == '0') ++p;
    out += s.substr(p);
  }
  PyMem_Free(text);
  return true;
}

// Appends `s` (a str) as a quoted literal.
bool append_quoted_str(std::string& out, PyObject* s) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(s, &size);
  if (utf8 == nullptr) return false;
  append_quoted(out, std::string_view(utf8, static_cast<std::size_t>(size)));
  return true;
}

PyObject* value_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const ValueObject* v = as_value(self);
    std::string out = "DecodedValue(";
    append_code_text(out, v->descriptor);
    out += ", ";
    if (v->text != nullptr || v->meaning != nullptr) {
      if (!append_quoted_str(out, v->text != nullptr ? v->text : v->meaning)) return nullptr;
    } else if ((v->flags & DecodedValue::kHasValue) != 0) {
      out += "Some(";
      if (!append_number(out, v->raw_value)) return nullptr;
      out += ')';
    } else {
      out += "None";
    }
    out += ')';
    return new_str(out);
  });
}

PyGetSetDef value_getset[] = {
    {"descriptor", get_descriptor, nullptr, "The descriptor code FXXYYY as an int.", nullptr},
    {"name", get_name, nullptr, "The element name.", nullptr},
    {"raw_value", get_raw_value, nullptr, "The scaled number, or None when missing.", nullptr},
    {"raw", get_raw, nullptr, "The bits as read, or None for text.", nullptr},
    {"raw_text", get_raw_text, nullptr, "The text of a CCITT IA5 element, or None.", nullptr},
    {"raw_meaning", get_raw_meaning, nullptr, "The code/flag table meaning, or None.", nullptr},
    {"data", get_data, nullptr, "raw_text, else raw_meaning, else raw_value, else None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot value_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(value_dealloc)},
    {Py_tp_free, reinterpret_cast<void*>(PyObject_Free)},
    {Py_tp_repr, reinterpret_cast<void*>(value_repr)},
    {Py_tp_getset, value_getset},
    {Py_tp_doc, const_cast<char*>("One decoded value of a BUFR message.")},
    {0, nullptr},
};

PyType_Spec value_spec = {
    "builtins.DecodedValue",
    sizeof(ValueObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    value_slots,
};

// The strs of one conversion: those the TableSet made when it was built, and the others
// (strings of tables without a TableSet object, operator names) made once per call.
class CallStrings {
 public:
  explicit CallStrings(const StrTable* shared) : shared_(shared) {}

  // A borrowed reference to the str for `key`; nullptr with a Python error on failure.
  PyObject* get(const std::string* key) {
    if (key == last_key_) return last_value_;
    PyObject* s = shared_ != nullptr ? shared_->find(key) : nullptr;
    if (s == nullptr) {
      s = made_.get(key);
      if (s == nullptr) return nullptr;
    }
    last_key_ = key;
    last_value_ = s;
    return s;
  }

 private:
  const StrTable* shared_;
  StrTable made_;
  const std::string* last_key_ = nullptr;
  PyObject* last_value_ = nullptr;
};

PyObject* internal_error(const char* what) {
  PyErr_SetString(PyExc_RuntimeError, what);
  return nullptr;
}

}  // namespace

PyTypeObject* decoded_value_type() { return value_type; }

PyObject* new_decoded_value_list(const DecodeResult& result, const StrTable* shared) {
  return new_decoded_value_list(result.values, result.texts, shared);
}

PyObject* new_decoded_value_list(std::span<const DecodedValue> values, const std::vector<std::string>& texts,
                                 const StrTable* shared) {
  if (value_type == nullptr) return internal_error("DecodedValue is not registered");
  const std::size_t n = values.size();
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return nullptr;
  // Names and meanings are distinct table strings: one lookup serves both.
  CallStrings strings(shared);
  // One str per entry of `texts`, made on first use: a compressed text with no increments
  // is one entry shared by every subset, and must not become one copy per subset.
  std::vector<PyRef> text_objects(texts.size());
  for (std::size_t k = 0; k < n; ++k) {
    const DecodedValue& record = values[k];
    if (record.name == nullptr) return internal_error("decoded value without a name");
    PyObject* name = strings.get(record.name);
    if (name == nullptr) return nullptr;
    PyObject* meaning = nullptr;
    if (record.meaning != nullptr) {
      meaning = strings.get(record.meaning);
      if (meaning == nullptr) return nullptr;
    }
    PyRef text;
    if (record.has_text()) {
      if (record.text_index >= texts.size()) return internal_error("decoded text index out of range");
      PyRef& shared = text_objects[record.text_index];
      if (!shared) {
        const std::string& t = texts[record.text_index];
        shared = PyRef::steal(new_text(is_ascii(t) ? t : ascii_text(t)));
        if (!shared) return nullptr;
      }
      text = PyRef::borrow(shared.get());
    }
    ValueObject* v = alloc_value();
    if (v == nullptr) return nullptr;
    v->raw_value = record.raw_value;
    v->raw = record.raw;
    v->name = Py_NewRef(name);
    v->text = text.release();
    v->meaning = meaning == nullptr ? nullptr : Py_NewRef(meaning);
    v->descriptor = record.descriptor;
    v->flags = record.flags & (DecodedValue::kHasValue | DecodedValue::kHasRaw);
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), reinterpret_cast<PyObject*>(v));
  }
  return list.release();
}

bool register_decoded_value(PyObject* m) {
  if (value_type == nullptr) {
    value_type = make_type(&value_spec);
    if (value_type == nullptr) return false;
  }
  return add_type(m, value_type, "DecodedValue");
}

}  // namespace quorvex::py
