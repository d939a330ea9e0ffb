// The _velmora extension module: multi-phase initialisation with one execution slot that
// registers every class, exception, function and constant in a fixed order.
#include <string>

#include "python/boundary.hpp"
#include "python/once.hpp"
#include "python/setup.hpp"

namespace velmora::py {
namespace {

constexpr const char kSemanticVersion[] = "0.4.0";

std::string replace_all(std::string_view s, std::string_view from, std::string_view to) {
  std::string out;
  for (size_t at = s.find(from); at != std::string_view::npos; at = s.find(from)) {
    out.append(s.substr(0, at));
    out.append(to);
    s.remove_prefix(at + from.size());
  }
  out.append(s);
  return out;
}

int setup_version(PyObject* m) {
  static ProcessOnce once;
  PyObject* version = once.get([]() -> PyObject* {
    const std::string v = replace_all(replace_all(kSemanticVersion, "-alpha", "a"), "-beta", "b");
    return PyUnicode_FromStringAndSize(v.data(), Py_ssize_t(v.size()));
  });
  return add_to_module(m, "__version__", version);
}

int exec_module(PyObject* m) {
  if (!PyModule_Check(m)) {
    PyErr_SetString(PyExc_TypeError, "_velmora execution slot expects a module");
    return -1;
  }
  int (*const steps[])(PyObject*) = {
      setup_version,
      setup_root_exceptions,
      setup_header_map,
      setup_functions,
      setup_h2_frame_classes,    // H2Codec, H2FrameHeaders .. H2FrameStreamError
      setup_h2_stream_state,     // H2StreamState
      setup_h2_flow_classes,     // H2FlowControl, H2ContentLength, H2DataFrameBudget
      setup_h2_streams_classes,  // H2Streams, H2Stopped .. H2ResetVerdict
      setup_h2_flag_constants,
      setup_h2_exceptions,
      setup_h2_reason,
      setup_h2_limit_constants,
      setup_h1_exceptions,
      setup_h1_codec_classes,  // H1Codec, H1ResponseHead, H1RequestHead, H1BodyDecoder
      setup_h1_state_classes,  // H1ServerState, H1ClientState, OnceLatch
      setup_h1_constants,
      setup_proxy,      // ProxyMatcher, ProxyIntercept
      setup_forwarded,  // TrustedPeers
      setup_coro_step,  // coro_step
      setup_ws,         // WS_*, WSDeflate, WSRequest, ws_* functions, WSConnection
  };
  for (auto step : steps)
    if (step(m) < 0) return -1;
  return 0;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "_velmora", "", 0, nullptr, kSlots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace velmora::py

PyMODINIT_FUNC PyInit__velmora(void) {
  return PyModuleDef_Init(&velmora::py::kModule);
}
