#include "http2/hpack_decoder.hpp"

#include "http2/hpack_huffman.hpp"
#include "http2/hpack_primitives.hpp"
#include "http2/hpack_static_table.hpp"

namespace velmora::hpack {

std::string_view error_name(Error e) {
  switch (e) {
    case Error::kNone:
      return "None";
    case Error::kUnexpectedEndOfStream:
      return "UnexpectedEndOfStream";
    case Error::kIntegerUnderflow:
      return "IntegerUnderflow";
    case Error::kStringUnderflow:
      return "StringUnderflow";
    case Error::kInvalidRepresentation:
      return "InvalidRepresentation";
    case Error::kInvalidIntegerPrefix:
      return "InvalidIntegerPrefix";
    case Error::kInvalidTableIndex:
      return "InvalidTableIndex";
    case Error::kInvalidHuffmanCode:
      return "InvalidHuffmanCode";
    case Error::kInvalidUtf8:
      return "InvalidUtf8";
    case Error::kInvalidStatusCode:
      return "InvalidStatusCode";
    case Error::kInvalidPseudoheader:
      return "InvalidPseudoheader";
    case Error::kInvalidMaxDynamicSize:
      return "InvalidMaxDynamicSize";
    case Error::kIntegerOverflow:
      return "IntegerOverflow";
    case Error::kMalformedMessage:
      return "MalformedMessage";
    case Error::kHeaderListWayTooLarge:
      return "HeaderListWayTooLarge";
  }
  return "None";
}

void Decoder::set_allowed_max(uint32_t max) {
  allowed_max_ = max;
  if (table_.max_size() > max) table_.set_max_size(max);
}

Error Decoder::lookup(uint32_t index, std::string_view& name, std::string_view& value) const {
  if (index == 0) return Error::kInvalidTableIndex;
  if (index <= kStaticTableSize) {
    const StaticEntry& e = static_entry(index);
    name = e.name;
    value = e.value;
    return Error::kNone;
  }
  uint32_t d = index - kStaticTableSize - 1;
  if (d >= table_.count()) return Error::kInvalidTableIndex;
  name = table_.name(d);
  value = table_.value(d);
  return Error::kNone;
}

// Reads a string literal (RFC 7541 section 5.2). Raw strings are viewed in place; Huffman
// strings are decoded into `buf`.
Error Decoder::read_string(const uint8_t*& p, const uint8_t* end, std::string& buf,
                           std::string_view& out) {
  if (p >= end) return Error::kUnexpectedEndOfStream;
  bool huffman = *p & 0x80;
  uint32_t len;
  size_t used;
  switch (decode_integer(p, size_t(end - p), 7, len, used)) {
    case IntResult::kOk:
      break;
    case IntResult::kUnderflow:
      return Error::kIntegerUnderflow;
    case IntResult::kOverflow:
      return Error::kIntegerOverflow;
  }
  p += used;
  if (size_t(end - p) < len) return Error::kStringUnderflow;
  if (!huffman) {
    out = std::string_view(reinterpret_cast<const char*>(p), len);
  } else {
    size_t bound = huffman_decoded_bound(len);
    if (buf.size() < bound) buf.resize(bound);
    ptrdiff_t got = huffman_decode(p, len, buf.data());
    if (got < 0) return Error::kInvalidHuffmanCode;
    out = std::string_view(buf.data(), size_t(got));
  }
  p += len;
  return Error::kNone;
}

Error Decoder::decode(const uint8_t* p, size_t n, BlockProgress& progress, uint64_t max_list_size,
                      FieldSink& sink, size_t& used) {
  const uint8_t* const begin = p;
  const uint8_t* const end = p + n;
  // Four times the limit, saturating: a limit of 2^62 or more never triggers it.
  const uint64_t abuse_limit =
      max_list_size >= (uint64_t(1) << 62) ? UINT64_MAX : max_list_size * 4;
  used = 0;
  while (p < end) {
    const uint8_t* start = p;
    uint8_t b = *p;
    uint32_t index;
    size_t len;
    std::string_view name, value;
    bool indexing = false, never = false;
    // An integer cut short means "need more" (the block may continue): nothing of this
    // representation is consumed.
    auto read_integer = [&](int prefix_bits, uint32_t& out) {
      switch (decode_integer(p, size_t(end - p), prefix_bits, out, len)) {
        case IntResult::kOk:
          return Error::kNone;
        case IntResult::kUnderflow:
          used = size_t(start - begin);
          return Error::kIntegerUnderflow;
        case IntResult::kOverflow:
          break;
      }
      return Error::kIntegerOverflow;
    };
    if (b & 0x80) {
      // Indexed field (section 6.1).
      if (Error e = read_integer(7, index); e != Error::kNone) return e;
      p += len;
      if (Error e = lookup(index, name, value); e != Error::kNone) return e;
    } else if ((b & 0xe0) == 0x20) {
      // Dynamic table size update (section 6.3), only at the start of a block.
      uint32_t size;
      if (Error e = read_integer(5, size); e != Error::kNone) return e;
      if (progress.any_field || size > allowed_max_) return Error::kInvalidMaxDynamicSize;
      p += len;
      table_.set_max_size(size);
      used = size_t(p - begin);
      continue;
    } else {
      // Literal field: with incremental indexing (6.2.1, 6-bit prefix), without indexing
      // (6.2.2, 4-bit) or never indexed (6.2.3, 4-bit).
      int prefix;
      if (b & 0x40) {
        indexing = true;
        prefix = 6;
      } else {
        never = (b & 0xf0) == 0x10;
        prefix = 4;
      }
      if (Error e = read_integer(prefix, index); e != Error::kNone) return e;
      p += len;
      Error e;
      if (index == 0) {
        e = read_string(p, end, name_buf_, name);
      } else {
        std::string_view unused;
        e = lookup(index, name, unused);
      }
      if (e == Error::kNone) e = read_string(p, end, value_buf_, value);
      if (e != Error::kNone) {
        if (is_cut_short(e)) used = size_t(start - begin);
        return e;
      }
      if (indexing) {
        table_.insert(name, value);
        // The views may have moved with the table: read the new entry back. An entry too
        // large for the table empties it and is not added; the views are then untouched.
        if (table_.count() != 0) {
          name = table_.name(0);
          value = table_.value(0);
        }
      }
    }
    used = size_t(p - begin);
    progress.any_field = true;
    progress.list_size += uint64_t(name.size()) + value.size() + kEntryOverhead;
    if (progress.list_size > abuse_limit) return Error::kHeaderListWayTooLarge;
    if (progress.list_size > max_list_size) progress.over_limit = true;
    if (!progress.over_limit) {
      if (Error e = sink.field(name, value, never); e != Error::kNone) return e;
    }
  }
  return Error::kNone;
}

}  // namespace velmora::hpack
