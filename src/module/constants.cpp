// Module-level constants and __version__.
#include <string>

#include "http1/client_state.hpp"
#include "http1/server_state.hpp"
#include "http2/data_frame_budget.hpp"
#include "http2/flow_control.hpp"
#include "http2/frame.hpp"
#include "module/boundary.hpp"
#include "module/once.hpp"
#include "module/pyref.hpp"
#include "module/setup.hpp"

namespace velmora::py {
namespace {

constexpr const char kSemanticVersion[] = "0.4.0";

struct IntConstant {
  const char* name;
  long value;
};

int add_ints(PyObject* m, const IntConstant* table, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (add_new_to_module(m, table[i].name, PyLong_FromLong(table[i].value)) < 0) return -1;
  return 0;
}

template <size_t N>
int add_ints(PyObject* m, const IntConstant (&table)[N]) {
  return add_ints(m, table, N);
}

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

}  // namespace

int setup_version(PyObject* m) {
  static ProcessOnce once;
  PyObject* version = once.get([]() -> PyObject* {
    const std::string v = replace_all(replace_all(kSemanticVersion, "-alpha", "a"), "-beta", "b");
    return PyUnicode_FromStringAndSize(v.data(), Py_ssize_t(v.size()));
  });
  return add_to_module(m, "__version__", version);
}

int setup_h2_flag_constants(PyObject* m) {
  static const IntConstant table[] = {
      {"H2_FLAG_WAKE", 1},           {"H2_FLAG_SLOT_FREED", 2},  {"H2_FLAG_CONN_DONE", 4},
      {"H2_FLAG_STOP_ACCEPTING", 8}, {"H2_HEADERS_IGNORED", 0},  {"H2_HEADERS_OPENED", 1},
      {"H2_HEADERS_HEAD", 2},        {"H2_HEADERS_TRAILERS", 3},
  };
  return add_ints(m, table);
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
  if (add_ints(m, table) < 0) return -1;
  return add_new_to_module(m, "H2_PREFACE",
                           PyBytes_FromStringAndSize(kPreface.data(), Py_ssize_t(kPreface.size())));
}

int setup_h1_constants(PyObject* m) {
  using namespace http1;
  static const IntConstant watch[] = {
      {"H1_WATCH_HANDOFF", kWatchHandoff},      {"H1_WATCH_IDLE_EOF", kWatchIdleEof},
      {"H1_WATCH_IDLE_BYTES", kWatchIdleBytes}, {"H1_WATCH_IDLE_ERROR", kWatchIdleError},
      {"H1_WATCH_IGNORED", kWatchIgnored},
  };
  // One numbering space for H1_NEXT_* (0-3) and H1_READ_* (4-8); H1_REQ_* restarts at 0.
  static const IntConstant codes[] = {
      {"H1_NEXT_NONE", kNextNone},       {"H1_NEXT_RAISE", kNextRaise},
      {"H1_NEXT_CLOSE", kNextClose},     {"H1_NEXT_DRAIN", kNextDrain},
      {"H1_READ_PARSE", kReadParse},     {"H1_READ_SHUTDOWN", kReadShutdown},
      {"H1_READ_WATCHER", kReadWatcher}, {"H1_READ_TRANSPORT", kReadTransport},
      {"H1_READ_EOF", kReadEof},         {"H1_REQ_OK", kReqOk},
      {"H1_REQ_ALREADY", kReqAlready},   {"H1_REQ_STALE", kReqStale},
      {"H1_REQ_PARKED", kReqParked},     {"H1_REQ_PEER_CLOSED", kReqPeerClosed},
      {"H1_REQ_CONTINUE", kReqContinue},
  };
  if (add_ints(m, watch) < 0) return -1;
  return add_ints(m, codes);
}

}  // namespace velmora::py
