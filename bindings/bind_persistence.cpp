#include <string>
#include <string_view>

#include "fitted_gam.hpp"
#include "methods.hpp"
#include "persist/saved_fit.hpp"

namespace vorsk::py_bindings {

namespace {

const Signature kSerializeSig{"serialize", {}, 0};
const Signature kDeserializeSig{"deserialize", {"bytes"}, 1};
const Signature kReduceSig{"__reduce__", {}, 0};

py::bytes frame_of(const FittedGamObject& s) {
  const std::string frame = unwrap(serialize_fit(s.record));
  return py::bytes(frame.data(), frame.size());
}

py::object serialize_method(const FittedGamObject& s, const py::args& args, const py::kwargs& kwargs) {
  (void)bind_arguments(kSerializeSig, args, kwargs);
  return frame_of(s);
}

// Only an immutable bytes object is read: the frame is decoded in place, and a mutable
// buffer could not be trusted to stay the same meanwhile.
py::object deserialize_classmethod(py::handle /*cls*/, const py::args& args, const py::kwargs& kwargs) {
  const auto bound = bind_arguments(kDeserializeSig, args, kwargs);
  PyObject* data = bound[0].ptr();
  if (!PyBytes_Check(data))
    raise(PyExc_TypeError,
          "deserialize() argument 'bytes' must be bytes, not " + std::string(Py_TYPE(data)->tp_name));
  char* buffer = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(data, &buffer, &size) != 0) throw py::error_already_set();
  // Always the base class, whatever class the method was reached through.
  return wrap_fitted(unwrap(deserialize_fit(std::string_view(buffer, static_cast<std::size_t>(size)))));
}

// deserialize is a class method at the C level, so the loader found on the class is a
// builtin bound to FittedGam and pickles as getattr(FittedGam, "deserialize").
py::object reduce_method(const FittedGamObject& s, const py::args& args, const py::kwargs& kwargs) {
  (void)bind_arguments(kReduceSig, args, kwargs);
  py::object load = py::type::of<FittedGamObject>().attr("deserialize");
  return py::make_tuple(load, py::make_tuple(frame_of(s)));
}

}  // namespace

void add_persistence_methods(py::class_<FittedGamObject>& cls) {
  add_method<&serialize_method>(cls, "serialize",
      "serialize($self)\n--\n\n"
      "The fit as a length-framed binary buffer: the magic b\"VORSK\", a format version, the\n"
      "body length and a compact JSON body holding every field and the predictor. It\n"
      "round-trips bit for bit: FittedGam.deserialize(m.serialize()) predicts exactly as m.\n"
      "NaN and infinite values are stored as null and read back as NaN.");
  add_classmethod<&deserialize_classmethod>(cls, "deserialize",
      "deserialize($cls, bytes)\n--\n\n"
      "A new FittedGam from a buffer produced by serialize(); bytes after the frame are\n"
      "ignored. Raises TypeError unless bytes is a bytes object, and ValueError on a buffer\n"
      "too short for the header, a bad magic, an unsupported version, a truncated body or\n"
      "a body that is not valid JSON of the saved-fit layout.");
  add_method<&reduce_method>(cls, "__reduce__",
      "__reduce__($self)\n--\n\n"
      "Pickle support through serialize and deserialize: (FittedGam.deserialize, (frame,)).");
}

}  // namespace vorsk::py_bindings
