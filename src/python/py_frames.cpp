#include "python/py_frames.hpp"

#include <cstring>
#include <new>

#include "python/py_errors.hpp"
#include "python/py_header_map.hpp"
#include "python/boundary.hpp"
#include "python/once.hpp"
#include "python/setup.hpp"

namespace velmora::py {
namespace {

#define GETTER(fn) reinterpret_cast<getter>(reinterpret_cast<void (*)(void)>(fn))

template <class T>
T* as(PyObject* o) {
  return &frame_as<T>(o);
}

PyObject* bool_of(bool b) {
  return Py_NewRef(b ? Py_True : Py_False);
}
PyObject* u32_of(uint32_t v) {
  return PyLong_FromUnsignedLong(v);
}

template <class T>
T* alloc(FrameKind kind) {
  auto* type = reinterpret_cast<PyTypeObject*>(frame_type(kind));
  if (!type) return nullptr;
  PyObject* o = type->tp_alloc(type, 0);
  return o ? as<T>(o) : nullptr;
}

void plain_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

// ---- H2FrameData ----------------------------------------------------------------------------

void data_dealloc(PyObject* self) {
  as<FrameDataObject>(self)->data.~Ref();
  plain_dealloc(self);
}
PyObject* data_stream_id(PyObject* s, void*) {
  return u32_of(as<FrameDataObject>(s)->stream_id);
}
PyObject* data_end_stream(PyObject* s, void*) {
  return bool_of(as<FrameDataObject>(s)->end_stream);
}
PyObject* data_data(PyObject* s, void*) {
  return Py_NewRef(as<FrameDataObject>(s)->data.get());
}
PyObject* data_flow(PyObject* s, void*) {
  return u32_of(as<FrameDataObject>(s)->flow_controlled_len);
}
PyObject* data_padding(PyObject* s, void*) {
  auto* f = as<FrameDataObject>(s);
  return u32_of(f->flow_controlled_len - uint32_t(PyBytes_GET_SIZE(f->data.get())));
}
PyObject* data_repr(PyObject* s) {
  auto* f = as<FrameDataObject>(s);
  return PyUnicode_FromFormat("Data(stream_id=%u, end_stream=%s, len=%zd)", f->stream_id,
                              f->end_stream ? "True" : "False", PyBytes_GET_SIZE(f->data.get()));
}

PyGetSetDef kDataGetSet[] = {
    {"stream_id", GETTER(data_stream_id), nullptr, "Stream identifier.", nullptr},
    {"end_stream", GETTER(data_end_stream), nullptr, "END_STREAM flag.", nullptr},
    {"data", GETTER(data_data), nullptr, "Payload bytes, padding removed.", nullptr},
    {"flow_controlled_len", GETTER(data_flow), nullptr,
     "Payload length counted by flow control (data, padding and the pad-length byte).", nullptr},
    {"padding", GETTER(data_padding), nullptr, "flow_controlled_len minus len(data).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- H2FrameHeaders -------------------------------------------------------------------------

void headers_dealloc(PyObject* self) {
  auto* f = as<FrameHeadersObject>(self);
  f->headers.~Locked<Ref>();
  f->block.~unique_ptr();
  plain_dealloc(self);
}
http2::HeaderBlock& block_of(PyObject* s) {
  return *as<FrameHeadersObject>(s)->block;
}
PyObject* headers_stream_id(PyObject* s, void*) {
  return u32_of(as<FrameHeadersObject>(s)->stream_id);
}
PyObject* headers_end_stream(PyObject* s, void*) {
  return bool_of(as<FrameHeadersObject>(s)->end_stream);
}
PyObject* headers_end_headers(PyObject* s, void*) {
  return bool_of(as<FrameHeadersObject>(s)->end_headers);
}
PyObject* pseudo_of(PyObject* s, http2::HeaderBlock::Pseudo p) {
  const http2::HeaderBlock& b = block_of(s);
  if (!b.has(p)) Py_RETURN_NONE;
  return str_from(b.pseudo(p));
}
PyObject* headers_method(PyObject* s, void*) {
  return pseudo_of(s, http2::HeaderBlock::kMethod);
}
PyObject* headers_scheme(PyObject* s, void*) {
  return pseudo_of(s, http2::HeaderBlock::kScheme);
}
PyObject* headers_authority(PyObject* s, void*) {
  return pseudo_of(s, http2::HeaderBlock::kAuthority);
}
PyObject* headers_path(PyObject* s, void*) {
  return pseudo_of(s, http2::HeaderBlock::kPath);
}
PyObject* headers_protocol(PyObject* s, void*) {
  return pseudo_of(s, http2::HeaderBlock::kProtocol);
}
PyObject* headers_status(PyObject* s, void*) {
  int st = block_of(s).status();
  if (st < 0) Py_RETURN_NONE;
  return PyLong_FromLong(st);
}
PyObject* headers_headers(PyObject* s, void*) {
  return headers_frame_fields(s);
}
PyObject* headers_content_length(PyObject* s, void*) {
  auto v = block_of(s).content_length();
  if (!v) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(*v);
}
PyObject* headers_content_length_invalid(PyObject* s, void*) {
  return bool_of(block_of(s).content_length_invalid());
}
PyObject* headers_is_informational(PyObject* s, void*) {
  int st = block_of(s).status();
  return bool_of(st >= 100 && st < 200);
}
PyObject* headers_request_items(PyObject* s, PyObject*) {
  Ref map = Ref::steal(headers_headers(s, nullptr));
  if (!map) return nullptr;
  Ref items = Ref::steal(header_map_raw_items(map.get()));
  if (!items) return nullptr;
  const http2::HeaderBlock& b = block_of(s);
  if (!b.has(http2::HeaderBlock::kAuthority) || header_map_has(map.get(), "host"))
    return items.release();
  // RFC 9113 section 8.3.1: :authority stands for a missing host.
  Ref host = Ref::steal(Py_BuildValue("(y#y#)", "host", Py_ssize_t(4),
                                      b.pseudo(http2::HeaderBlock::kAuthority).data(),
                                      Py_ssize_t(b.pseudo(http2::HeaderBlock::kAuthority).size())));
  if (!host || PyList_Insert(items.get(), 0, host.get()) < 0) return nullptr;
  return items.release();
}

PyMethodDef kHeadersMethods[] = {
    {"request_items", headers_request_items, METH_NOARGS,
     SIG_DOC("request_items($self)",
             "headers.raw_items(), after a (b'host', :authority) pair when the block has "
             ":authority but no host field (RFC 9113 section 8.3.1).")},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* headers_repr(PyObject* s) {
  auto* f = as<FrameHeadersObject>(s);
  Ref map = Ref::steal(headers_headers(s, nullptr));
  if (!map) return nullptr;
  Ref status = Ref::steal(headers_status(s, nullptr));
  if (!status) return nullptr;
  return PyUnicode_FromFormat("Headers(stream_id=%u, status=%R, end_stream=%s, fields=%R)",
                              f->stream_id, status.get(), f->end_stream ? "True" : "False",
                              map.get());
}

PyGetSetDef kHeadersGetSet[] = {
    {"stream_id", GETTER(headers_stream_id), nullptr, "Stream identifier.", nullptr},
    {"end_stream", GETTER(headers_end_stream), nullptr, "END_STREAM flag.", nullptr},
    {"end_headers", GETTER(headers_end_headers), nullptr, "END_HEADERS flag.", nullptr},
    {"method", GETTER(headers_method), nullptr, ":method, or None.", nullptr},
    {"scheme", GETTER(headers_scheme), nullptr, ":scheme, or None.", nullptr},
    {"authority", GETTER(headers_authority), nullptr, ":authority, or None.", nullptr},
    {"path", GETTER(headers_path), nullptr, ":path, or None.", nullptr},
    {"protocol", GETTER(headers_protocol), nullptr,
     ":protocol of an extended CONNECT (RFC 8441), or None.", nullptr},
    {"status", GETTER(headers_status), nullptr, ":status as an int, or None.", nullptr},
    {"headers", GETTER(headers_headers), nullptr, "The regular fields as a HeaderMap.", nullptr},
    {"content_length", GETTER(headers_content_length), nullptr,
     "The first content-length value as an int; None when absent or unparsable.", nullptr},
    {"content_length_invalid", GETTER(headers_content_length_invalid), nullptr,
     "A content-length field was present but did not parse.", nullptr},
    {"is_informational", GETTER(headers_is_informational), nullptr, "A 1xx status.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- H2FrameSettings ------------------------------------------------------------------------

PyObject* setting_of(PyObject* s, http2::SettingId id) {
  const http2::Settings& st = as<FrameSettingsObject>(s)->settings;
  if (!st.has(id)) Py_RETURN_NONE;
  return u32_of(st.get(id));
}
PyObject* settings_ack(PyObject* s, void*) {
  return bool_of(as<FrameSettingsObject>(s)->ack);
}
PyObject* settings_hts(PyObject* s, void*) {
  return setting_of(s, http2::kHeaderTableSize);
}
PyObject* settings_push(PyObject* s, void*) {
  const http2::Settings& st = as<FrameSettingsObject>(s)->settings;
  if (!st.has(http2::kEnablePush)) Py_RETURN_NONE;
  return bool_of(st.get(http2::kEnablePush) != 0);
}
PyObject* settings_mcs(PyObject* s, void*) {
  return setting_of(s, http2::kMaxConcurrentStreams);
}
PyObject* settings_iws(PyObject* s, void*) {
  return setting_of(s, http2::kInitialWindowSize);
}
PyObject* settings_mfs(PyObject* s, void*) {
  return setting_of(s, http2::kMaxFrameSize);
}
PyObject* settings_mhls(PyObject* s, void*) {
  return setting_of(s, http2::kMaxHeaderListSize);
}
PyObject* settings_repr(PyObject* s) {
  Ref mcs = Ref::steal(settings_mcs(s, nullptr));
  Ref iws = Ref::steal(settings_iws(s, nullptr));
  Ref mfs = Ref::steal(settings_mfs(s, nullptr));
  if (!mcs || !iws || !mfs) return nullptr;
  return PyUnicode_FromFormat(
      "Settings(ack=%s, max_concurrent_streams=%R, initial_window_size=%R, max_frame_size=%R)",
      as<FrameSettingsObject>(s)->ack ? "True" : "False", mcs.get(), iws.get(), mfs.get());
}

PyGetSetDef kSettingsGetSet[] = {
    {"ack", GETTER(settings_ack), nullptr, "ACK flag.", nullptr},
    {"header_table_size", GETTER(settings_hts), nullptr, "SETTINGS_HEADER_TABLE_SIZE or None.",
     nullptr},
    {"enable_push", GETTER(settings_push), nullptr, "SETTINGS_ENABLE_PUSH as a bool, or None.",
     nullptr},
    {"max_concurrent_streams", GETTER(settings_mcs), nullptr,
     "SETTINGS_MAX_CONCURRENT_STREAMS or None.", nullptr},
    {"initial_window_size", GETTER(settings_iws), nullptr, "SETTINGS_INITIAL_WINDOW_SIZE or None.",
     nullptr},
    {"max_frame_size", GETTER(settings_mfs), nullptr, "SETTINGS_MAX_FRAME_SIZE or None.", nullptr},
    {"max_header_list_size", GETTER(settings_mhls), nullptr,
     "SETTINGS_MAX_HEADER_LIST_SIZE or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- H2FramePing, H2FrameGoAway -------------------------------------------------------------

PyObject* ping_ack(PyObject* s, void*) {
  return bool_of(as<FramePingObject>(s)->ack);
}
PyObject* ping_data(PyObject* s, void*) {
  return PyBytes_FromStringAndSize(as<FramePingObject>(s)->data, 8);
}
PyObject* ping_repr(PyObject* s) {
  Ref d = Ref::steal(ping_data(s, nullptr));
  if (!d) return nullptr;
  return PyUnicode_FromFormat("Ping(ack=%s, data=%R)",
                              as<FramePingObject>(s)->ack ? "True" : "False", d.get());
}
PyGetSetDef kPingGetSet[] = {
    {"ack", GETTER(ping_ack), nullptr, "ACK flag.", nullptr},
    {"data", GETTER(ping_data), nullptr, "The 8 payload bytes.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

void go_away_dealloc(PyObject* self) {
  as<FrameGoAwayObject>(self)->debug_data.~Ref();
  plain_dealloc(self);
}
PyObject* go_away_last(PyObject* s, void*) {
  return u32_of(as<FrameGoAwayObject>(s)->last_stream_id);
}
PyObject* go_away_code(PyObject* s, void*) {
  return u32_of(as<FrameGoAwayObject>(s)->error_code);
}
PyObject* go_away_debug(PyObject* s, void*) {
  return Py_NewRef(as<FrameGoAwayObject>(s)->debug_data.get());
}
PyObject* go_away_repr(PyObject* s) {
  auto* f = as<FrameGoAwayObject>(s);
  return PyUnicode_FromFormat("GoAway(last_stream_id=%u, error_code=%u, debug_data=%R)",
                              f->last_stream_id, f->error_code, f->debug_data.get());
}
PyGetSetDef kGoAwayGetSet[] = {
    {"last_stream_id", GETTER(go_away_last), nullptr, "Last stream identifier.", nullptr},
    {"error_code", GETTER(go_away_code), nullptr, "Error code.", nullptr},
    {"debug_data", GETTER(go_away_debug), nullptr, "Debug data (bytes, possibly empty).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- stream and value frames ----------------------------------------------------------------

PyObject* sv_stream_id(PyObject* s, void*) {
  return u32_of(as<FrameStreamValueObject>(s)->stream_id);
}
PyObject* sv_value(PyObject* s, void*) {
  return u32_of(as<FrameStreamValueObject>(s)->value);
}

PyGetSetDef kWindowUpdateGetSet[] = {
    {"stream_id", GETTER(sv_stream_id), nullptr, "Stream identifier (0: the connection).", nullptr},
    {"increment", GETTER(sv_value), nullptr, "Window size increment.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyGetSetDef kErrorCodeGetSet[] = {
    {"stream_id", GETTER(sv_stream_id), nullptr, "Stream identifier.", nullptr},
    {"error_code", GETTER(sv_value), nullptr, "Error code.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyGetSetDef kPriorityGetSet[] = {
    {"stream_id", GETTER(sv_stream_id), nullptr, "Stream identifier.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* window_update_repr(PyObject* s) {
  auto* f = as<FrameStreamValueObject>(s);
  return PyUnicode_FromFormat("WindowUpdate(stream_id=%u, increment=%u)", f->stream_id, f->value);
}
PyObject* rst_stream_repr(PyObject* s) {
  auto* f = as<FrameStreamValueObject>(s);
  return PyUnicode_FromFormat("RstStream(stream_id=%u, error_code=%u)", f->stream_id, f->value);
}
PyObject* stream_error_repr(PyObject* s) {
  auto* f = as<FrameStreamValueObject>(s);
  return PyUnicode_FromFormat("StreamError(stream_id=%u, error_code=%u)", f->stream_id, f->value);
}
PyObject* priority_repr(PyObject* s) {
  return PyUnicode_FromFormat("Priority(stream_id=%u)", as<FrameStreamValueObject>(s)->stream_id);
}

// ---- type slots and PyType_Spec ----------------------------------------------------------------

struct ClassDef {
  const char* name;
  int basicsize;
  destructor dealloc;
  reprfunc repr;
  PyGetSetDef* getset;
  const char* doc;
  PyMethodDef* methods = nullptr;
};

const ClassDef kClasses[kFrameKindCount] = {
    {"velmora._velmora.H2FrameHeaders", sizeof(FrameHeadersObject), headers_dealloc, headers_repr,
     kHeadersGetSet, "A decoded HEADERS frame with its whole header block.", kHeadersMethods},
    {"velmora._velmora.H2FrameData", sizeof(FrameDataObject), data_dealloc, data_repr, kDataGetSet,
     "A decoded DATA frame."},
    {"velmora._velmora.H2FrameSettings", sizeof(FrameSettingsObject), plain_dealloc, settings_repr,
     kSettingsGetSet, "A decoded SETTINGS frame."},
    {"velmora._velmora.H2FrameWindowUpdate", sizeof(FrameStreamValueObject), plain_dealloc,
     window_update_repr, kWindowUpdateGetSet, "A decoded WINDOW_UPDATE frame."},
    {"velmora._velmora.H2FramePing", sizeof(FramePingObject), plain_dealloc, ping_repr, kPingGetSet,
     "A decoded PING frame."},
    {"velmora._velmora.H2FrameGoAway", sizeof(FrameGoAwayObject), go_away_dealloc, go_away_repr,
     kGoAwayGetSet, "A decoded GOAWAY frame."},
    {"velmora._velmora.H2FrameRstStream", sizeof(FrameStreamValueObject), plain_dealloc,
     rst_stream_repr, kErrorCodeGetSet, "A decoded RST_STREAM frame."},
    {"velmora._velmora.H2FramePriority", sizeof(FrameStreamValueObject), plain_dealloc,
     priority_repr, kPriorityGetSet, "A decoded PRIORITY frame (its content is not kept)."},
    {"velmora._velmora.H2FrameStreamError", sizeof(FrameStreamValueObject), plain_dealloc,
     stream_error_repr, kErrorCodeGetSet,
     "A stream-level decoding error: the stream is to be reset with error_code."},
};

PyObject* make_frame_class(const ClassDef& c) {
  PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(c.dealloc)},
      {Py_tp_repr, reinterpret_cast<void*>(c.repr)},
      {Py_tp_getset, c.getset},
      {Py_tp_doc, const_cast<char*>(c.doc)},
      {c.methods ? Py_tp_methods : 0, c.methods},
      {0, nullptr},
  };
  PyType_Spec type_spec = {
      c.name, c.basicsize, 0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
  return make_type(&type_spec);
}

ProcessOnce g_frame_types[kFrameKindCount];

}  // namespace

PyObject* frame_type(FrameKind kind) {
  int k = int(kind);
  return g_frame_types[k].get([k]() { return make_frame_class(kClasses[k]); });
}

int frame_kind_of(PyObject* o) {
  for (int k = 0; k < kFrameKindCount; ++k)
    if (reinterpret_cast<PyObject*>(Py_TYPE(o)) == frame_type(FrameKind(k))) return k;
  return -1;
}

// ---- makers -------------------------------------------------------------------------------

PyObject* new_data_frame(uint32_t stream_id, bool end_stream, std::string_view data,
                         uint32_t flow_controlled_len) {
  Ref payload = Ref::steal(bytes_from(data));
  if (!payload) return nullptr;
  auto* f = alloc<FrameDataObject>(FrameKind::kData);
  if (!f) return nullptr;
  f->stream_id = stream_id;
  f->end_stream = end_stream;
  f->flow_controlled_len = flow_controlled_len;
  new (&f->data) Ref(std::move(payload));
  return reinterpret_cast<PyObject*>(f);
}

PyObject* new_headers_frame(uint32_t stream_id, bool end_stream,
                            std::unique_ptr<http2::HeaderBlock> block) {
  auto* f = alloc<FrameHeadersObject>(FrameKind::kHeaders);
  if (!f) return nullptr;
  f->stream_id = stream_id;
  f->end_stream = end_stream;
  f->end_headers = true;
  new (&f->block) std::unique_ptr<http2::HeaderBlock>(std::move(block));
  new (&f->headers) Locked<Ref>();
  return reinterpret_cast<PyObject*>(f);
}

PyObject* new_stream_value_frame(FrameKind kind, uint32_t stream_id, uint32_t value) {
  auto* f = alloc<FrameStreamValueObject>(kind);
  if (!f) return nullptr;
  f->stream_id = stream_id;
  f->value = value;
  return reinterpret_cast<PyObject*>(f);
}

PyObject* new_settings_frame(bool ack, const http2::Settings& settings) {
  auto* f = alloc<FrameSettingsObject>(FrameKind::kSettings);
  if (!f) return nullptr;
  f->ack = ack;
  f->settings = settings;
  return reinterpret_cast<PyObject*>(f);
}

PyObject* new_ping_frame(bool ack, std::string_view payload) {
  auto* f = alloc<FramePingObject>(FrameKind::kPing);
  if (!f) return nullptr;
  f->ack = ack;
  std::memcpy(f->data, payload.data(), 8);
  return reinterpret_cast<PyObject*>(f);
}

PyObject* new_go_away_frame(uint32_t last_stream_id, uint32_t error_code,
                            std::string_view debug_data) {
  Ref debug = Ref::steal(bytes_from(debug_data));
  if (!debug) return nullptr;
  auto* f = alloc<FrameGoAwayObject>(FrameKind::kGoAway);
  if (!f) return nullptr;
  f->last_stream_id = last_stream_id;
  f->error_code = error_code;
  new (&f->debug_data) Ref(std::move(debug));
  return reinterpret_cast<PyObject*>(f);
}

PyObject* headers_frame_fields(PyObject* frame) {
  auto* f = as<FrameHeadersObject>(frame);
  // HeaderMap objects are not tracked by the cyclic collector: making one under the frame's
  // lock runs no Python code.
  Ref map = f->headers.with([&](Ref& headers) {
    if (!headers) headers = Ref::steal(header_map_new(std::move(f->block->fields())));
    return headers;
  });
  return map.release();  // null with an exception set when the map could not be made
}

// ---- the collecting sink --------------------------------------------------------------------

bool FrameCollector::push(PyObject* o) {
  Ref frame = Ref::steal(o);
  if (!frame) return false;
  try {
    frames_.push_back(std::move(frame));
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  return true;
}

PyObject* FrameCollector::take_list() {
  PyObject* list = PyList_New(Py_ssize_t(frames_.size()));
  if (!list) {
    clear();
    return nullptr;
  }
  for (size_t i = 0; i < frames_.size(); ++i)
    PyList_SET_ITEM(list, Py_ssize_t(i), frames_[i].release());
  frames_.clear();
  return list;
}

PyObject* FrameCollector::take_result(http2::FrameDecoder::Status status,
                                      const PendingError& error) {
  switch (status) {
    case http2::FrameDecoder::Status::kOk:
      return take_list();
    case http2::FrameDecoder::Status::kConnectionError:
      clear();
      return raise(error);
    case http2::FrameDecoder::Status::kSinkFailed:
      break;
  }
  clear();
  return nullptr;  // the sink's failure is set
}

bool FrameCollector::on_data(uint32_t stream_id, bool end_stream, std::string_view data,
                             uint32_t flow_controlled_len) {
  return push(new_data_frame(stream_id, end_stream, data, flow_controlled_len));
}

bool FrameCollector::on_headers(uint32_t stream_id, bool end_stream,
                                std::unique_ptr<http2::HeaderBlock>& block) {
  return push(new_headers_frame(stream_id, end_stream, std::move(block)));
}

bool FrameCollector::on_priority(uint32_t stream_id) {
  return push(new_stream_value_frame(FrameKind::kPriority, stream_id, 0));
}
bool FrameCollector::on_rst_stream(uint32_t stream_id, uint32_t error_code) {
  return push(new_stream_value_frame(FrameKind::kRstStream, stream_id, error_code));
}
bool FrameCollector::on_window_update(uint32_t stream_id, uint32_t increment) {
  return push(new_stream_value_frame(FrameKind::kWindowUpdate, stream_id, increment));
}
bool FrameCollector::on_stream_error(uint32_t stream_id, uint32_t error_code) {
  return push(new_stream_value_frame(FrameKind::kStreamError, stream_id, error_code));
}
bool FrameCollector::on_settings(bool ack, const http2::Settings& settings) {
  return push(new_settings_frame(ack, settings));
}
bool FrameCollector::on_ping(bool ack, std::string_view payload) {
  return push(new_ping_frame(ack, payload));
}
bool FrameCollector::on_go_away(uint32_t last_stream_id, uint32_t error_code,
                                std::string_view debug_data) {
  return push(new_go_away_frame(last_stream_id, error_code, debug_data));
}

int setup_h2_frame_classes(PyObject* m) {
  if (add_to_module(m, "H2Codec", h2_codec_type()) < 0) return -1;
  static const FrameKind kOrder[] = {
      FrameKind::kHeaders,      FrameKind::kData,     FrameKind::kSettings,
      FrameKind::kWindowUpdate, FrameKind::kPing,     FrameKind::kGoAway,
      FrameKind::kRstStream,    FrameKind::kPriority, FrameKind::kStreamError,
  };
  for (FrameKind k : kOrder) {
    const char* name = kClasses[int(k)].name + sizeof("velmora._velmora.") - 1;
    if (add_to_module(m, name, frame_type(k)) < 0) return -1;
  }
  return 0;
}

}  // namespace velmora::py
