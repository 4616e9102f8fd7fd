#include "tables/definition_py.hpp"

#include <new>
#include <string>

#include "lib/text.hpp"

namespace quorvex::py {

namespace {

template <class Def>
struct DefinitionObject {
  PyObject_HEAD
  Def def;
};

using ElementObject = DefinitionObject<ElementDefinition>;
using SequenceObject = DefinitionObject<SequenceDefinition>;

PyTypeObject* element_type = nullptr;
PyTypeObject* sequence_type = nullptr;

template <class Def>
const Def& def_of(PyObject* self) {
  return reinterpret_cast<DefinitionObject<Def>*>(self)->def;
}

PyObject* to_python(std::uint32_t v) { return PyLong_FromUnsignedLong(v); }
PyObject* to_python(std::int32_t v) { return PyLong_FromLong(v); }
PyObject* to_python(std::int64_t v) { return PyLong_FromLongLong(v); }
PyObject* to_python(std::uint16_t v) { return PyLong_FromLong(v); }
PyObject* to_python(const std::string& v) { return new_str(v); }
PyObject* to_python(const std::vector<std::uint32_t>& v) { return new_code_list(v); }

template <class Def, auto Field>
PyObject* get_field(PyObject* self, void*) {
  return guarded([self] { return to_python(def_of<Def>(self).*Field); });
}

#define QV_ELEMENT(name) \
  { #name, get_field < ElementDefinition, &ElementDefinition::name>, nullptr, nullptr, nullptr }
#define QV_SEQUENCE(name) \
  { #name, get_field < SequenceDefinition, &SequenceDefinition::name>, nullptr, nullptr, nullptr }

PyGetSetDef element_getset[] = {
    QV_ELEMENT(code),
    QV_ELEMENT(abbreviation),
    QV_ELEMENT(element_type),
    QV_ELEMENT(name),
    QV_ELEMENT(unit),
    QV_ELEMENT(scale),
    QV_ELEMENT(reference),
    QV_ELEMENT(width),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef sequence_getset[] = {
    QV_SEQUENCE(code),
    QV_SEQUENCE(members),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef QV_ELEMENT
#undef QV_SEQUENCE

// ElementDefinition(001001, name="WMO BLOCK NUMBER")
PyObject* element_repr(PyObject* self) {
  return guarded([self] {
    const auto& def = def_of<ElementDefinition>(self);
    std::string text = "ElementDefinition(" + code_text(def.code) + ", name=";
    append_quoted(text, def.name);
    text += ')';
    return new_str(text);
  });
}

// SequenceDefinition(301001, members=[1001, 1002])
PyObject* sequence_repr(PyObject* self) {
  return guarded([self] {
    const auto& def = def_of<SequenceDefinition>(self);
    std::string text = "SequenceDefinition(" + code_text(def.code) + ", members=[";
    for (std::size_t k = 0; k < def.members.size(); ++k) {
      if (k > 0) text += ", ";
      text += std::to_string(def.members[k]);
    }
    text += "])";
    return new_str(text);
  });
}

template <class Def>
void definition_dealloc(PyObject* self) {
  PyRef type = PyRef::steal(reinterpret_cast<PyObject*>(Py_TYPE(self)));  // alloc's reference
  reinterpret_cast<DefinitionObject<Def>*>(self)->def.~Def();
  Py_TYPE(self)->tp_free(self);
}

PyType_Slot element_slots[] = {
    {Py_tp_getset, element_getset},
    {Py_tp_repr, reinterpret_cast<void*>(element_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(definition_dealloc<ElementDefinition>)},
    {0, nullptr},
};

PyType_Slot sequence_slots[] = {
    {Py_tp_getset, sequence_getset},
    {Py_tp_repr, reinterpret_cast<void*>(sequence_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(definition_dealloc<SequenceDefinition>)},
    {0, nullptr},
};

PyType_Spec element_spec = {
    "builtins.ElementDefinition",
    sizeof(ElementObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    element_slots,
};

PyType_Spec sequence_spec = {
    "builtins.SequenceDefinition",
    sizeof(SequenceObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    sequence_slots,
};

template <class Def>
PyObject* new_definition(PyTypeObject* type, const Def& def) {
  Def copy(def);  // may throw bad_alloc: done before the object exists
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&reinterpret_cast<DefinitionObject<Def>*>(self)->def) Def(std::move(copy));  // noexcept
  return self;
}

}  // namespace

PyObject* new_element_definition(const ElementDefinition& def) { return new_definition(element_type, def); }

PyObject* new_sequence_definition(const SequenceDefinition& def) {
  return new_definition(sequence_type, def);
}

bool register_definition_classes(PyObject* m) {
  if (element_type == nullptr) element_type = make_type(&element_spec);
  if (!add_type(m, element_type, "ElementDefinition")) return false;
  if (sequence_type == nullptr) sequence_type = make_type(&sequence_spec);
  return add_type(m, sequence_type, "SequenceDefinition");
}

}  // namespace quorvex::py
