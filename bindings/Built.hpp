#pragma once

#include <pybind11/pybind11.h>

#include <stdexcept>

namespace py = pybind11;

namespace VelkorBinding {

// A bound object whose constructor has run. Methods take their self as
// Built<T> instead of T&: pybind11 hands an instance made with __new__ alone
// (no __init__) to a method as freshly allocated, unconstructed memory, while
// this refuses it with RuntimeError (empty message) before any work.
template <typename T>
class Built {
 public:
  T* operator->() const { return object_; }
  T& operator*() const { return *object_; }
  T* get() const { return object_; }
  // The Python instance, for methods that return their self.
  py::handle instance() const { return instance_; }

  T* object_ = nullptr;
  py::handle instance_;
};

// An argument that names a built object or, in the converting pass, None.
template <typename T>
class BuiltOrNone : public Built<T> {};

}  // namespace VelkorBinding

namespace pybind11::detail {

// An instance made with __new__ alone owns a value slot that its constructor
// never filled (an instance that merely refers to a native object owns nothing).
inline bool NeverBuilt(handle src) {
  auto* inst = reinterpret_cast<instance*>(src.ptr());
  if (!inst->owned) return false;
  for (const auto& v_h : values_and_holders(inst))
    if (!v_h.holder_constructed()) return true;
  return false;
}

template <typename T>
bool LoadBuilt(handle src, bool, VelkorBinding::Built<T>& out) {
  // Registered once at import and never moved: looked up once, not on every call.
  static const type_info* const type = get_type_info(typeid(T));
  if (!src || type == nullptr || !PyObject_TypeCheck(src.ptr(), type->type)) return false;
  auto* inst = reinterpret_cast<instance*>(src.ptr());
  const value_and_holder v_h = inst->get_value_and_holder(type, false);
  // Not reference_cast_error: pybind11 takes that for "try the next overload".
  // And not the generic caster: it would allocate the missing object.
  if (!v_h || NeverBuilt(src)) throw std::runtime_error("");
  out.object_ = v_h.value_ptr<T>();
  out.instance_ = src;
  return true;
}

template <typename T>
class type_caster<VelkorBinding::Built<T>> {
 public:
  // Rendered as the bound class, exactly like a T& parameter.
  static constexpr auto name = const_name<T>();
  template <typename U>
  using cast_op_type = VelkorBinding::Built<T>;

  bool load(handle src, bool convert) { return LoadBuilt(src, convert, value); }
  operator VelkorBinding::Built<T>() const { return value; }

  VelkorBinding::Built<T> value;
};

template <typename T>
class type_caster<VelkorBinding::BuiltOrNone<T>> {
 public:
  static constexpr auto name = const_name<T>();
  template <typename U>
  using cast_op_type = VelkorBinding::BuiltOrNone<T>;

  // None only in the converting pass, as pybind11 does for a T* parameter.
  bool load(handle src, bool convert) {
    if (src.is_none()) return convert;
    return LoadBuilt<T>(src, convert, value);
  }
  operator VelkorBinding::BuiltOrNone<T>() const { return value; }

  VelkorBinding::BuiltOrNone<T> value;
};

// The same refusal for a type taken as T& or T* by its methods, where changing
// every parameter to Built<T> is not wanted: specialise type_caster<T> with it,
// only for a type that one translation unit alone binds and uses, or whose
// specialisations sit in one header that every user includes (ServoShared.hpp).
template <typename T>
class built_type_caster : public type_caster_base<T> {
 public:
  bool load(handle src, bool convert) {
    static const type_info* const type = get_type_info(typeid(T));
    if (src && type != nullptr && PyObject_TypeCheck(src.ptr(), type->type) && NeverBuilt(src))
      throw std::runtime_error("");
    return type_caster_base<T>::load(src, convert);
  }
};

}  // namespace pybind11::detail
