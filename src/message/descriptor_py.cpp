// The Python class Descriptor: the parts F, X, Y of a descriptor and its code.
#include <string>

#include "lib/frame_py.hpp"
#include "lib/text.hpp"
#include "message/descriptor.hpp"

namespace quorvex::py {

namespace {

struct DescriptorObject {
  PyObject_HEAD
  std::uint8_t f;
  std::uint8_t x;
  std::uint8_t y;
};

PyTypeObject* descriptor_type = nullptr;

const DescriptorObject& parts_of(PyObject* self) { return *reinterpret_cast<DescriptorObject*>(self); }

std::uint32_t code_of(PyObject* self) {
  const DescriptorObject& d = parts_of(self);
  return descriptor_code(d.f, d.x, d.y);
}

PyObject* new_descriptor(PyTypeObject* type, std::uint8_t f, std::uint8_t x, std::uint8_t y) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  auto* d = reinterpret_cast<DescriptorObject*>(self);
  d->f = f;
  d->x = x;
  d->y = y;
  return self;
}

constexpr const char* kPartNames[] = {"f", "x", "y"};
constexpr Signature kNewSignature{"Descriptor.__new__", kPartNames, 3};

PyObject* descriptor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* argv[3];
  if (!parse_tuple_args(kNewSignature, args, kwargs, argv)) return nullptr;
  std::uint8_t parts[3];
  for (int k = 0; k < 3; ++k) {
    if (!to_u8(argv[k], kPartNames[k], parts[k])) return nullptr;
  }
  return new_descriptor(type, parts[0], parts[1], parts[2]);
}

constexpr const char* kCodeNames[] = {"code"};
constexpr Signature kFromFxySignature{"Descriptor.from_fxy", kCodeNames, 1};

// Splits a code by its decimal digits; each part keeps its low eight bits.
PyObject* descriptor_from_fxy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[1];
  std::uint32_t code = 0;
  if (!parse_args(kFromFxySignature, args, nargs, kwnames, argv) || !to_u32(argv[0], "code", code)) {
    return nullptr;
  }
  const DescriptorParts p = split_code(code);
  return new_descriptor(descriptor_type,
                        static_cast<std::uint8_t>(p.f),
                        static_cast<std::uint8_t>(p.x),
                        static_cast<std::uint8_t>(p.y));
}

PyObject* get_f(PyObject* self, void*) { return PyLong_FromLong(parts_of(self).f); }
PyObject* get_x(PyObject* self, void*) { return PyLong_FromLong(parts_of(self).x); }
PyObject* get_y(PyObject* self, void*) { return PyLong_FromLong(parts_of(self).y); }
PyObject* get_fxy(PyObject* self, void*) { return PyLong_FromUnsignedLong(code_of(self)); }

PyGetSetDef descriptor_getset[] = {
    {"f", get_f, nullptr, nullptr, nullptr},
    {"x", get_x, nullptr, nullptr, nullptr},
    {"y", get_y, nullptr, nullptr, nullptr},
    {"fxy", get_fxy, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef descriptor_methods[] = {
    fastcall("from_fxy", descriptor_from_fxy, "from_fxy(code)\n--\n\n", METH_STATIC),
    {nullptr, nullptr, 0, nullptr},
};

// Descriptor(001001)
PyObject* descriptor_repr(PyObject* self) {
  return guarded([self] { return new_str("Descriptor(" + code_text(code_of(self)) + ")"); });
}

PyType_Slot descriptor_slots[] = {
    {Py_tp_doc, const_cast<char*>("Descriptor(f, x, y)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(descriptor_new)},
    {Py_tp_getset, descriptor_getset},
    {Py_tp_methods, descriptor_methods},
    {Py_tp_repr, reinterpret_cast<void*>(descriptor_repr)},
    {0, nullptr},
};

PyType_Spec descriptor_spec = {
    "builtins.Descriptor",
    sizeof(DescriptorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    descriptor_slots,
};

}  // namespace

bool register_descriptor(PyObject* m) {
  if (descriptor_type == nullptr) descriptor_type = make_type(&descriptor_spec);
  return add_type(m, descriptor_type, "Descriptor");
}

}  // namespace quorvex::py
