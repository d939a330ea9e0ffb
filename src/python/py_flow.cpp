// H2FlowControl, H2ContentLength and H2DataFrameBudget: the per-stream and per-connection
// accounting values, each behind a mutex of its own, for drivers and tests.
#include "http2/frame.hpp"
#include <new>
#include <string>

#include "python/py_errors.hpp"
#include "http2/content_length.hpp"
#include "http2/data_frame_budget.hpp"
#include "http2/flow_control.hpp"
#include "python/boundary.hpp"
#include "python/object.hpp"
#include "python/once.hpp"
#include "python/setup.hpp"

namespace velmora::py {
namespace {

// Runs `f` on the value under the object's lock.
template <class T, class F>
auto locked(PyObject* self, F&& f) {
  return unbox<Locked<T>>(self).with(std::forward<F>(f));
}

// ---- H2FlowControl --------------------------------------------------------------------------

using http2::FlowControl;
using http2::FlowStatus;

PyObject* fc_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  if (PyTuple_GET_SIZE(args) != 0 || (kwds && PyDict_GET_SIZE(kwds) != 0)) {
    PyErr_SetString(PyExc_TypeError, "H2FlowControl() takes no arguments");
    return nullptr;
  }
  return box_new<Locked<FlowControl>>(type);
}

PyObject* fc_window_size(PyObject* self, PyObject*) {
  return PyLong_FromUnsignedLong(
      locked<FlowControl>(self, [](FlowControl& f) { return f.window_size(); }));
}

PyObject* fc_available(PyObject* self, PyObject*) {
  return PyLong_FromLong(locked<FlowControl>(self, [](FlowControl& f) { return f.available(); }));
}

PyObject* fc_has_unavailable(PyObject* self, PyObject*) {
  return PyBool_FromLong(
      locked<FlowControl>(self, [](FlowControl& f) { return f.has_unavailable(); }));
}

PyObject* fc_unclaimed_capacity(PyObject* self, PyObject*) {
  auto r = locked<FlowControl>(self, [](FlowControl& f) { return f.unclaimed_capacity(); });
  if (!r) Py_RETURN_NONE;
  return PyLong_FromLongLong(*r);
}

// One size argument (unsigned 32-bit), one change.
template <FlowStatus (FlowControl::*Method)(uint32_t)>
PyObject* fc_change(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw,
                    const char* function, const char* arg) {
  PyObject* a;
  uint32_t size;
  if (!(a = one_arg(function, arg, args, nargs, kw)) || !to_u32(a, size)) return nullptr;
  FlowStatus s = locked<FlowControl>(self, [&](FlowControl& f) { return (f.*Method)(size); });
  if (s != FlowStatus::kOk) return raise(http2::flow_status_error(s, size));
  Py_RETURN_NONE;
}

#define FC_CHANGE(name, arg)                                                                   \
  PyObject* fc_##name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) { \
    return fc_change<&FlowControl::name>(self, args, nargs, kw, #name, arg);                   \
  }
FC_CHANGE(claim_capacity, "capacity")
FC_CHANGE(assign_capacity, "capacity")
FC_CHANGE(inc_window, "sz")
FC_CHANGE(dec_send_window, "sz")
FC_CHANGE(dec_recv_window, "sz")
FC_CHANGE(send_data, "sz")
#undef FC_CHANGE

PyObject* fc_repr(PyObject* self) {
  auto [w, a] = locked<FlowControl>(
      self, [](FlowControl& f) { return std::pair(f.raw_window(), f.available()); });
  return PyUnicode_FromFormat("H2FlowControl(window_size=%d, available=%d)", int(w), int(a));
}

PyMethodDef kFlowMethods[] = {
    {"window_size", fc_window_size, METH_NOARGS,
     SIG_DOC("window_size($self)", "The window as the peer knows it, or 0 while it is negative.")},
    {"available", fc_available, METH_NOARGS,
     SIG_DOC("available($self)", "The capacity available to the local side (signed).")},
    {"has_unavailable", fc_has_unavailable, METH_NOARGS,
     SIG_DOC("has_unavailable($self)",
             "False while the window is negative; else whether available < window.")},
    {"unclaimed_capacity", fc_unclaimed_capacity, METH_NOARGS,
     SIG_DOC("unclaimed_capacity($self)",
             "The WINDOW_UPDATE increment worth sending now, or None: released capacity beyond "
             "the window once it reaches half the window.")},
    {"claim_capacity", FAST(fc_claim_capacity), FASTKW,
     SIG_DOC("claim_capacity($self, capacity)", "available -= capacity (checked).")},
    {"assign_capacity", FAST(fc_assign_capacity), FASTKW,
     SIG_DOC("assign_capacity($self, capacity)", "available += capacity (checked).")},
    {"inc_window", FAST(fc_inc_window), FASTKW,
     SIG_DOC("inc_window($self, sz)", "window += sz (checked).")},
    {"dec_send_window", FAST(fc_dec_send_window), FASTKW,
     SIG_DOC("dec_send_window($self, sz)", "window -= sz (checked).")},
    {"dec_recv_window", FAST(fc_dec_recv_window), FASTKW,
     SIG_DOC("dec_recv_window($self, sz)", "window -= sz, then available -= sz (checked).")},
    {"send_data", FAST(fc_send_data), FASTKW,
     SIG_DOC("send_data($self, sz)",
             "Account sz bytes of DATA sent: refused when sz exceeds the window, else window "
             "and available both decrease.")},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kFlowSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(fc_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<Locked<FlowControl>>)},
    {Py_tp_repr, reinterpret_cast<void*>(fc_repr)},
    {Py_tp_methods, kFlowMethods},
    {Py_tp_doc, const_cast<char*>(SIG_DOC(
                    "H2FlowControl()",
                    "One HTTP/2 flow-control window (RFC 9113 section 6.9); window and "
                    "available capacity both start at 0.\n\n"
                    "Sizes above 2147483647 raise ValueError; a change that leaves the signed "
                    "32-bit range raises H2FlowControlError(3)."))},
    {0, nullptr},
};

PyType_Spec kFlowSpec = {
    "velmora._velmora.H2FlowControl",
    sizeof(Box<Locked<FlowControl>>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kFlowSlots,
};

// ---- H2ContentLength ------------------------------------------------------------------------

using http2::ContentLength;

PyObject* cl_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  static const char* kw[] = {"is_head", nullptr};
  PyObject* is_head_obj = Py_False;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O:H2ContentLength", const_cast<char**>(kw),
                                   &is_head_obj))
    return nullptr;
  bool is_head;
  if (!to_bool(is_head_obj, is_head)) return nullptr;
  return box_new<Locked<ContentLength>>(type, is_head);
}

PyObject* cl_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  PyObject* a;
  uint64_t value;
  if (!(a = one_arg("set", "value", args, nargs, kw)) || !to_u64(a, value)) return nullptr;
  locked<ContentLength>(self, [&](ContentLength& c) { c.set(value); });
  Py_RETURN_NONE;
}

PyObject* cl_dec(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  PyObject* a;
  uint64_t len;
  if (!(a = one_arg("dec", "len", args, nargs, kw)) || !to_u64(a, len)) return nullptr;
  return PyBool_FromLong(locked<ContentLength>(self, [&](ContentLength& c) { return c.dec(len); }));
}

PyObject* cl_is_head(PyObject* self, PyObject*) {
  return PyBool_FromLong(locked<ContentLength>(self, [](ContentLength& c) { return c.is_head(); }));
}

PyObject* cl_is_satisfied(PyObject* self, PyObject*) {
  return PyBool_FromLong(
      locked<ContentLength>(self, [](ContentLength& c) { return c.is_satisfied(); }));
}

PyObject* cl_repr(PyObject* self) {
  ContentLength c = locked<ContentLength>(self, [](ContentLength& v) { return v; });
  switch (c.kind()) {
    case ContentLength::Kind::kOmitted:
      return PyUnicode_FromString("H2ContentLength(Omitted)");
    case ContentLength::Kind::kHead:
      return PyUnicode_FromString("H2ContentLength(Head)");
    case ContentLength::Kind::kRemaining:
      break;
  }
  return PyUnicode_FromFormat("H2ContentLength(Remaining(%llu))",
                              static_cast<unsigned long long>(c.remaining()));
}

PyMethodDef kLengthMethods[] = {
    {"set", FAST(cl_set), FASTKW,
     SIG_DOC("set($self, value)",
             "Declare the content-length; a HEAD response keeps expecting no DATA.")},
    {"dec", FAST(cl_dec), FASTKW,
     SIG_DOC("dec($self, len)",
             "Account len received bytes; False (and no change) when they exceed what may "
             "still arrive.")},
    {"is_head", cl_is_head, METH_NOARGS,
     SIG_DOC("is_head($self)", "The message answers a HEAD request.")},
    {"is_satisfied", cl_is_satisfied, METH_NOARGS,
     SIG_DOC("is_satisfied($self)", "False only while declared bytes are still to come.")},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kLengthSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(cl_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<Locked<ContentLength>>)},
    {Py_tp_repr, reinterpret_cast<void*>(cl_repr)},
    {Py_tp_methods, kLengthMethods},
    {Py_tp_doc, const_cast<char*>(SIG_DOC(
                    "H2ContentLength(is_head=False)",
                    "The declared content-length of a received HTTP/2 message and how much of "
                    "it is still to come."))},
    {0, nullptr},
};

PyType_Spec kLengthSpec = {
    "velmora._velmora.H2ContentLength",
    sizeof(Box<Locked<ContentLength>>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kLengthSlots,
};

// ---- H2DataFrameBudget ----------------------------------------------------------------------

using http2::DataFrameBudget;

PyObject* db_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  static const char* kw[] = {"configured", "connection_window", nullptr};
  PyObject* configured_obj = Py_None;
  PyObject* window_obj = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OO:H2DataFrameBudget", const_cast<char**>(kw),
                                   &configured_obj, &window_obj))
    return nullptr;
  std::optional<uint64_t> configured;
  std::optional<uint32_t> window;
  if (configured_obj != Py_None) {
    uint64_t v;
    if (!to_u64(configured_obj, v)) return nullptr;
    configured = v;
  }
  if (window_obj != Py_None) {
    uint32_t v;
    if (!to_u32(window_obj, v)) return nullptr;
    window = v;
  }
  return box_new<Locked<DataFrameBudget>>(type, DataFrameBudget::resolve_cap(configured, window));
}

PyObject* db_record(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  PyObject* a;
  uint64_t len;
  if (!(a = one_arg("record", "payload_len", args, nargs, kw)) || !to_u64(a, len)) return nullptr;
  uint64_t charge = 0;
  bool ok =
      locked<DataFrameBudget>(self, [&](DataFrameBudget& b) { return b.record(len, charge); });
  if (!ok) return raise(http2::data_frame_flood_error());
  return PyLong_FromUnsignedLongLong(charge);
}

PyObject* db_release(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  PyObject* a;
  uint64_t charge;
  if (!(a = one_arg("release", "charge", args, nargs, kw)) || !to_u64(a, charge)) return nullptr;
  locked<DataFrameBudget>(self, [&](DataFrameBudget& b) { b.release(charge); });
  Py_RETURN_NONE;
}

PyObject* db_available(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(
      locked<DataFrameBudget>(self, [](DataFrameBudget& b) { return b.available(); }));
}

PyObject* db_empty_frames(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(
      locked<DataFrameBudget>(self, [](DataFrameBudget& b) { return b.empty_frames(); }));
}

PyObject* db_repr(PyObject* self) {
  auto [available, cap, empty] = locked<DataFrameBudget>(self, [](DataFrameBudget& b) {
    return std::tuple(b.available(), b.cap(), b.empty_frames());
  });
  return PyUnicode_FromFormat("H2DataFrameBudget(available=%llu, cap=%llu, empty_frames=%llu)",
                              static_cast<unsigned long long>(available),
                              static_cast<unsigned long long>(cap),
                              static_cast<unsigned long long>(empty));
}

PyMethodDef kBudgetMethods[] = {
    {"record", FAST(db_record), FASTKW,
     SIG_DOC("record($self, payload_len)",
             "Charge one received non-final DATA frame; return the charge to release later.\n\n"
             "Raises H2ProtocolError(11, 'too_many_data_frames') on a flood.")},
    {"release", FAST(db_release), FASTKW,
     SIG_DOC("release($self, charge)",
             "Give a charge back once the chunk it paid for has been consumed.")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kBudgetGetters[] = {
    {"available", db_available, nullptr, "The budget now available.", nullptr},
    {"empty_frames", db_empty_frames, nullptr, "Empty non-final DATA frames counted so far.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kBudgetSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(db_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<Locked<DataFrameBudget>>)},
    {Py_tp_repr, reinterpret_cast<void*>(db_repr)},
    {Py_tp_methods, kBudgetMethods},
    {Py_tp_getset, kBudgetGetters},
    {Py_tp_doc, const_cast<char*>(SIG_DOC(
                    "H2DataFrameBudget(configured=None, connection_window=None)",
                    "The connection's budget against floods of small or empty DATA frames.\n\n"
                    "The cap is configured when given, else half the connection window with a "
                    "floor of 25600, else 32767."))},
    {0, nullptr},
};

PyType_Spec kBudgetSpec = {
    "velmora._velmora.H2DataFrameBudget",
    sizeof(Box<Locked<DataFrameBudget>>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kBudgetSlots,
};

PyObject* flow_control_type() {
  static ProcessOnce once;
  return once.get([]() -> PyObject* { return make_type(&kFlowSpec); });
}

PyObject* content_length_type() {
  static ProcessOnce once;
  return once.get([]() -> PyObject* { return make_type(&kLengthSpec); });
}

PyObject* data_frame_budget_type() {
  static ProcessOnce once;
  return once.get([]() -> PyObject* { return make_type(&kBudgetSpec); });
}

}  // namespace

int setup_h2_flow_classes(PyObject* m) {
  if (add_to_module(m, "H2FlowControl", flow_control_type()) < 0) return -1;
  if (add_to_module(m, "H2ContentLength", content_length_type()) < 0) return -1;
  return add_to_module(m, "H2DataFrameBudget", data_frame_budget_type());
}

int setup_h2_limit_constants(PyObject* m) {
  using namespace http2;
  static const IntConstant table[] = {
      {"H2_DEFAULT_HEADER_TABLE_SIZE", kDefaultHeaderTableSize},
      {"H2_DEFAULT_INITIAL_WINDOW_SIZE", kDefaultInitialWindowSize},
      {"H2_DEFAULT_MAX_FRAME_SIZE", kDefaultMaxFrameSize},
      {"H2_MAX_MAX_FRAME_SIZE", kMaxMaxFrameSize},
      {"H2_MAX_STREAM_ID", kMaxStreamId},
      {"H2_DEFAULT_DATA_FRAME_OVERHEAD_THRESHOLD", long(kDataFrameOverheadThreshold)},
      {"H2_DEFAULT_DATA_FRAME_BUDGET", long(kDefaultDataFrameBudget)},
      {"H2_MAX_RECV_EMPTY_DATA_FRAMES", long(kMaxRecvEmptyDataFrames)},
  };
  if (add_int_constants(m, table) < 0) return -1;
  return add_new_to_module(m, "H2_PREFACE",
                           PyBytes_FromStringAndSize(kPreface.data(), Py_ssize_t(kPreface.size())));
}

}  // namespace velmora::py
