// The _velmora extension module: multi-phase initialisation with one execution slot that
// registers every class, exception, function and constant in a fixed order.
#include "module/boundary.hpp"
#include "module/setup.hpp"

namespace velmora::py {
namespace {

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
      setup_h2_frame_classes,  // H2Codec, H2FrameHeaders .. H2FrameStreamError
      // Stream primitives, in table order between the frame classes and H2Streams:
      setup_h2_stream_state,     // H2StreamState
      setup_h2_flow_classes,     // H2FlowControl, H2ContentLength, H2DataFrameBudget
      setup_h2_streams_classes,  // H2Streams, H2Stopped .. H2ResetVerdict
      setup_h2_flag_constants,
      setup_h2_exceptions,
      // H2Reason registers here.
      setup_h2_reason,
      setup_h2_limit_constants,
      setup_h1_exceptions,
      // HTTP/1 classes (H1Codec .. OnceLatch) register here.
      setup_h1_codec_classes,
      setup_h1_state_classes,
      setup_h1_constants,
      // ProxyMatcher and ProxyIntercept register here.
      setup_proxy,
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
