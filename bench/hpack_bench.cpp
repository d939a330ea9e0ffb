// HPACK decode and encode, ours against libnghttp2's nghttp2_hd_inflate / nghttp2_hd_deflate,
// on a typical browser request (the first block of a connection and the repeated ones that
// hit the dynamic table) and over the recorded corpus, every decoded field checked.
// Build and run: see bench/README.md.
#include <benchmark/benchmark.h>
#include <nghttp2/nghttp2.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "http2/hpack_decoder.hpp"
#include "http2/hpack_encoder.hpp"
#include "http2/hpack_primitives.hpp"
#include "http2/hpack_static_table.hpp"

namespace {

using namespace velmora::hpack;

struct Field {
  std::string name, value;
};
struct Block {
  uint32_t table_size = 0;  // 0: unchanged
  std::string wire;
  std::vector<Field> fields;
};
struct Story {
  std::string folder;
  std::vector<Block> blocks;
};

std::string unhex(const std::string& h) {
  std::string out;
  for (size_t i = 0; i + 1 < h.size(); i += 2)
    out.push_back(char(std::stoi(h.substr(i, 2), nullptr, 16)));
  return out;
}

std::vector<Story> load_corpus() {
  std::vector<Story> stories;
  const char* path = std::getenv("VELMORA_HPACK_CORPUS");
  std::ifstream in(path ? path : "/tmp/hpack-corpus.txt");
  std::string line;
  uint32_t pending_size = 0;
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    std::string tag;
    ls >> tag;
    if (tag == "S") {
      stories.emplace_back();
      ls >> stories.back().folder;
    } else if (tag == "T") {
      ls >> pending_size;
    } else if (tag == "B") {
      std::string h;
      ls >> h;
      stories.back().blocks.push_back(Block{pending_size, unhex(h), {}});
      pending_size = 0;
    } else if (tag == "F") {
      std::string n, v;
      ls >> n >> v;
      stories.back().blocks.back().fields.push_back({unhex(n.substr(1)), unhex(v.substr(1))});
    }
  }
  return stories;
}

const std::vector<Story>& corpus() {
  static std::vector<Story> c = load_corpus();
  return c;
}

const std::vector<Field> kRequest = {
    {":method", "GET"},
    {":scheme", "https"},
    {":authority", "www.example.com"},
    {":path", "/index.html"},
    {"user-agent", "Mozilla/5.0 (X11; Linux x86_64; rv:128.0) Gecko/20100101 Firefox/128.0"},
    {"accept", "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"},
    {"accept-language", "en-US,en;q=0.5"},
    {"accept-encoding", "gzip, deflate, br, zstd"},
    {"referer", "https://www.example.com/start"},
    {"cookie", "session=4f1c2a9be0d84c7f9a2e; theme=dark; lang=en"},
    {"upgrade-insecure-requests", "1"},
    {"sec-fetch-dest", "document"},
    {"sec-fetch-mode", "navigate"},
    {"sec-fetch-site", "same-origin"},
    {"sec-fetch-user", "?1"},
    {"priority", "u=0, i"},
};

// 100 request blocks of one connection (each with its own path), encoded by nghttp2's
// deflater so that neither decoder reads its own encoder's output.
std::vector<Block> request_connection() {
  std::vector<Block> out;
  nghttp2_hd_deflater* d;
  nghttp2_hd_deflate_new(&d, 4096);
  for (int i = 0; i < 100; ++i) {
    std::vector<Field> f = kRequest;
    f[3].value = "/page/" + std::to_string(i);
    std::vector<nghttp2_nv> nv;
    for (auto& x : f)
      nv.push_back({(uint8_t*)x.name.data(), (uint8_t*)x.value.data(), x.name.size(),
                    x.value.size(), NGHTTP2_NV_FLAG_NONE});
    std::string buf(nghttp2_hd_deflate_bound(d, nv.data(), nv.size()), '\0');
    ssize_t n = nghttp2_hd_deflate_hd(d, (uint8_t*)buf.data(), buf.size(), nv.data(), nv.size());
    buf.resize(size_t(n));
    out.push_back(Block{0, buf, f});
  }
  nghttp2_hd_deflate_del(d);
  return out;
}

const std::vector<Block>& connection() {
  static std::vector<Block> c = request_connection();
  return c;
}

// ---- decoding -------------------------------------------------------------------------------

class Checker final : public FieldSink {
 public:
  const std::vector<Field>* expected = nullptr;
  size_t at = 0;
  Error field(std::string_view n, std::string_view v, bool) override {
    const Field& f = (*expected)[at++];
    if (f.name != n || f.value != v) std::abort();
    return Error::kNone;
  }
};

void ours_decode(Decoder& dec, const Block& b) {
  if (b.table_size) dec.set_allowed_max(b.table_size);
  Checker c;
  c.expected = &b.fields;
  BlockProgress p;
  size_t used;
  if (dec.decode(reinterpret_cast<const uint8_t*>(b.wire.data()), b.wire.size(), p, UINT64_MAX, c,
                 used) != Error::kNone ||
      c.at != b.fields.size())
    std::abort();
}

void theirs_decode(nghttp2_hd_inflater* inf, const Block& b) {
  if (b.table_size) nghttp2_hd_inflate_change_table_size(inf, b.table_size);
  const uint8_t* in = reinterpret_cast<const uint8_t*>(b.wire.data());
  size_t len = b.wire.size(), at = 0;
  for (;;) {
    nghttp2_nv nv;
    int flags = 0;
    ssize_t rv = nghttp2_hd_inflate_hd2(inf, &nv, &flags, in, len, 1);
    if (rv < 0) std::abort();
    in += rv;
    len -= size_t(rv);
    if (flags & NGHTTP2_HD_INFLATE_EMIT) {
      const Field& f = b.fields[at++];
      if (f.name.size() != nv.namelen || f.value.size() != nv.valuelen ||
          std::memcmp(f.name.data(), nv.name, nv.namelen) != 0 ||
          std::memcmp(f.value.data(), nv.value, nv.valuelen) != 0)
        std::abort();
    }
    if (flags & NGHTTP2_HD_INFLATE_FINAL) {
      nghttp2_hd_inflate_end_headers(inf);
      break;
    }
    if (!(flags & NGHTTP2_HD_INFLATE_EMIT) && len == 0) break;
  }
  if (at != b.fields.size()) std::abort();
}

void BM_DecodeFirst_Ours(benchmark::State& st) {
  const Block& b = connection()[0];
  for (auto _ : st) {
    Decoder dec;
    ours_decode(dec, b);
  }
  st.counters["ns/field"] =
      benchmark::Counter(double(b.fields.size()) * double(st.iterations()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
void BM_DecodeFirst_Nghttp2(benchmark::State& st) {
  const Block& b = connection()[0];
  for (auto _ : st) {
    nghttp2_hd_inflater* inf;
    nghttp2_hd_inflate_new(&inf);
    theirs_decode(inf, b);
    nghttp2_hd_inflate_del(inf);
  }
  st.counters["ns/field"] =
      benchmark::Counter(double(b.fields.size()) * double(st.iterations()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Blocks 2..100 on a connection whose decoder has read block 1.
void BM_DecodeRepeated_Ours(benchmark::State& st) {
  const auto& c = connection();
  size_t fields = 0;
  for (auto _ : st) {
    st.PauseTiming();
    Decoder dec;
    ours_decode(dec, c[0]);
    st.ResumeTiming();
    for (size_t i = 1; i < c.size(); ++i)
      ours_decode(dec, c[i]), fields += c[i].fields.size();
  }
  st.counters["ns/field"] =
      benchmark::Counter(double(fields), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
void BM_DecodeRepeated_Nghttp2(benchmark::State& st) {
  const auto& c = connection();
  size_t fields = 0;
  for (auto _ : st) {
    st.PauseTiming();
    nghttp2_hd_inflater* inf;
    nghttp2_hd_inflate_new(&inf);
    theirs_decode(inf, c[0]);
    st.ResumeTiming();
    for (size_t i = 1; i < c.size(); ++i)
      theirs_decode(inf, c[i]), fields += c[i].fields.size();
    st.PauseTiming();
    nghttp2_hd_inflate_del(inf);
    st.ResumeTiming();
  }
  st.counters["ns/field"] =
      benchmark::Counter(double(fields), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Every story of one corpus folder, each with one decoder.
void corpus_decode(benchmark::State& st, const std::string& folder, bool ours) {
  size_t fields = 0;
  for (auto _ : st) {
    for (const Story& s : corpus()) {
      if (s.folder != folder) continue;
      if (ours) {
        Decoder dec;
        for (const Block& b : s.blocks)
          ours_decode(dec, b), fields += b.fields.size();
      } else {
        nghttp2_hd_inflater* inf;
        nghttp2_hd_inflate_new(&inf);
        for (const Block& b : s.blocks)
          theirs_decode(inf, b), fields += b.fields.size();
        nghttp2_hd_inflate_del(inf);
      }
    }
  }
  st.counters["ns/field"] =
      benchmark::Counter(double(fields), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// ---- encoding -------------------------------------------------------------------------------

void ours_encode(Encoder& enc, const std::vector<Field>& f, std::string& out) {
  out.clear();
  enc.begin_block(out);
  for (const Field& x : f)
    enc.encode_field(x.name, x.value, out);
  benchmark::DoNotOptimize(out.data());
}

void theirs_encode(nghttp2_hd_deflater* d, const std::vector<nghttp2_nv>& nv, std::string& out) {
  out.resize(nghttp2_hd_deflate_bound(d, nv.data(), nv.size()));
  ssize_t n = nghttp2_hd_deflate_hd(d, (uint8_t*)out.data(), out.size(), nv.data(), nv.size());
  if (n < 0) std::abort();
  benchmark::DoNotOptimize(out.data());
}

std::vector<nghttp2_nv> to_nv(const std::vector<Field>& f) {
  std::vector<nghttp2_nv> nv;
  for (auto& x : f)
    nv.push_back({(uint8_t*)x.name.data(), (uint8_t*)x.value.data(), x.name.size(), x.value.size(),
                  NGHTTP2_NV_FLAG_NONE});
  return nv;
}

void BM_EncodeRequests_Ours(benchmark::State& st) {
  const auto& c = connection();
  std::string out;
  size_t fields = 0;
  for (auto _ : st) {
    Encoder enc;
    for (const Block& b : c)
      ours_encode(enc, b.fields, out), fields += b.fields.size();
  }
  st.counters["ns/field"] =
      benchmark::Counter(double(fields), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
void BM_EncodeRequests_Nghttp2(benchmark::State& st) {
  const auto& c = connection();
  std::vector<std::vector<nghttp2_nv>> nvs;
  for (const Block& b : c)
    nvs.push_back(to_nv(b.fields));
  std::string out;
  size_t fields = 0;
  for (auto _ : st) {
    nghttp2_hd_deflater* d;
    nghttp2_hd_deflate_new(&d, 4096);
    for (auto& nv : nvs)
      theirs_encode(d, nv, out), fields += nv.size();
    nghttp2_hd_deflate_del(d);
  }
  st.counters["ns/field"] =
      benchmark::Counter(double(fields), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void corpus_encode(benchmark::State& st, bool ours) {
  std::vector<std::vector<std::vector<nghttp2_nv>>> nvs;
  for (const Story& s : corpus()) {
    nvs.emplace_back();
    for (const Block& b : s.blocks)
      nvs.back().push_back(to_nv(b.fields));
  }
  std::string out;
  size_t fields = 0;
  for (auto _ : st) {
    for (size_t i = 0; i < corpus().size(); ++i) {
      if (ours) {
        Encoder enc;
        for (const Block& b : corpus()[i].blocks)
          ours_encode(enc, b.fields, out), fields += b.fields.size();
      } else {
        nghttp2_hd_deflater* d;
        nghttp2_hd_deflate_new(&d, 4096);
        for (auto& nv : nvs[i])
          theirs_encode(d, nv, out), fields += nv.size();
        nghttp2_hd_deflate_del(d);
      }
    }
  }
  st.counters["ns/field"] =
      benchmark::Counter(double(fields), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// ---- output size and encode speed per corpus folder --------------------------------------

// Representations in a block: indexed (dynamic-table hits), literal with incremental indexing,
// without indexing, never indexed.
struct Kinds {
  size_t dynamic_hits = 0, static_hits = 0, incremental = 0, without = 0, never = 0;
};

void count_kinds(const std::string& block, Kinds& k) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(block.data());
  size_t n = block.size(), i = 0;
  auto integer = [&](int prefix) {
    uint32_t v = 0;
    size_t used = 0;
    if (decode_integer(p + i, n - i, prefix, v, used) != IntResult::kOk) std::abort();
    i += used;
    return v;
  };
  auto skip_string = [&] { i += integer(7); };
  while (i < n) {
    uint8_t b = p[i];
    if (b & 0x80) {
      (integer(7) > kStaticTableSize ? k.dynamic_hits : k.static_hits)++;
      continue;
    }
    if ((b & 0xe0) == 0x20) {
      integer(5);
      continue;
    }
    uint32_t index;
    if (b & 0x40) {
      index = integer(6);
      ++k.incremental;
    } else {
      (b & 0x10 ? k.never : k.without)++;
      index = integer(4);
    }
    if (index == 0) skip_string();
    skip_string();
  }
}

// Encodes story `i` (a fresh encoder, table size 4096 on both sides) and returns the total
// bytes; `ns` receives the time taken.
size_t encode_story(size_t i, bool ours,
                    const std::vector<std::vector<std::vector<nghttp2_nv>>>& nvs, double& ns) {
  std::string out;
  size_t bytes = 0;
  auto t0 = std::chrono::steady_clock::now();
  if (ours) {
    Encoder enc;
    for (const Block& b : corpus()[i].blocks)
      ours_encode(enc, b.fields, out), bytes += out.size();
  } else {
    nghttp2_hd_deflater* d;
    nghttp2_hd_deflate_new(&d, 4096);
    for (auto& nv : nvs[i]) {
      out.resize(nghttp2_hd_deflate_bound(d, nv.data(), nv.size()));
      ssize_t n = nghttp2_hd_deflate_hd(d, (uint8_t*)out.data(), out.size(), nv.data(), nv.size());
      if (n < 0) std::abort();
      bytes += size_t(n);
    }
    nghttp2_hd_deflate_del(d);
  }
  std::chrono::duration<double, std::nano> d = std::chrono::steady_clock::now() - t0;
  ns = d.count();
  return bytes;
}

// Prints, per folder, the encoded bytes of both encoders and their ratio, and the encode time
// per field of both (per story the best of interleaved rounds) and its ratio. Every block our
// encoder writes is first decoded back and checked.
void report_sizes() {
  std::vector<std::vector<std::vector<nghttp2_nv>>> nvs;
  std::vector<std::string> folders;
  for (const Story& s : corpus()) {
    nvs.emplace_back();
    for (const Block& b : s.blocks)
      nvs.back().push_back(to_nv(b.fields));
    if (std::find(folders.begin(), folders.end(), s.folder) == folders.end())
      folders.push_back(s.folder);
  }
  for (const Story& s : corpus()) {  // round trip of our output
    Encoder enc;
    Decoder dec;
    std::string out;
    for (const Block& b : s.blocks) {
      ours_encode(enc, b.fields, out);
      ours_decode(dec, Block{0, out, b.fields});
    }
  }
  const int rounds =
      std::getenv("VELMORA_HPACK_ROUNDS") ? std::atoi(std::getenv("VELMORA_HPACK_ROUNDS")) : 15;
  std::printf("%-28s %10s %10s %7s %10s %10s %7s\n", "folder", "ours B", "nghttp2 B", "ratio",
              "ours ns/f", "ngh ns/f", "ratio");
  size_t total_ours = 0, total_theirs = 0;
  for (const std::string& f : folders) {
    size_t fields = 0;
    for (const Story& s : corpus())
      if (s.folder == f)
        for (const Block& b : s.blocks)
          fields += b.fields.size();
    // Per story, the best of `rounds` interleaved runs of each encoder; summed over the folder.
    double best_ours = 0, best_theirs = 0;
    size_t ours = 0, theirs = 0;
    for (size_t i = 0; i < corpus().size(); ++i) {
      if (corpus()[i].folder != f) continue;
      double bo = 1e30, bt = 1e30, ns;
      for (int r = 0; r < rounds; ++r) {
        size_t o = encode_story(i, true, nvs, ns);
        bo = std::min(bo, ns);
        size_t t = encode_story(i, false, nvs, ns);
        bt = std::min(bt, ns);
        if (r == 0) ours += o, theirs += t;
      }
      best_ours += bo;
      best_theirs += bt;
    }
    total_ours += ours;
    total_theirs += theirs;
    std::printf("%-28s %10zu %10zu %7.3f %10.1f %10.1f %7.3f\n", f.c_str(), ours, theirs,
                double(ours) / double(theirs), best_ours / double(fields),
                best_theirs / double(fields), best_ours / best_theirs);
  }
  std::printf("%-28s %10zu %10zu %7.3f\n", "all", total_ours, total_theirs,
              double(total_ours) / double(total_theirs));
  // Representations chosen over the whole corpus.
  Kinds ours, theirs;
  for (size_t i = 0; i < corpus().size(); ++i) {
    Encoder enc;
    nghttp2_hd_deflater* d;
    nghttp2_hd_deflate_new(&d, 4096);
    std::string out;
    for (size_t b = 0; b < corpus()[i].blocks.size(); ++b) {
      ours_encode(enc, corpus()[i].blocks[b].fields, out);
      count_kinds(out, ours);
      const auto& nv = nvs[i][b];
      out.resize(nghttp2_hd_deflate_bound(d, nv.data(), nv.size()));
      ssize_t w = nghttp2_hd_deflate_hd(d, (uint8_t*)out.data(), out.size(), nv.data(), nv.size());
      if (w < 0) std::abort();
      out.resize(size_t(w));
      count_kinds(out, theirs);
    }
    nghttp2_hd_deflate_del(d);
  }
  for (auto [name, k] : {std::pair<const char*, Kinds&>{"ours", ours}, {"nghttp2", theirs}})
    std::printf(
        "%-8s dynamic hits %7zu  static hits %7zu  incremental %7zu  without indexing %7zu"
        "  never indexed %5zu\n",
        name, k.dynamic_hits, k.static_hits, k.incremental, k.without, k.never);
  std::printf("\n");
  std::fflush(stdout);
}

}  // namespace

BENCHMARK(BM_DecodeFirst_Ours);
BENCHMARK(BM_DecodeFirst_Nghttp2);
BENCHMARK(BM_DecodeRepeated_Ours);
BENCHMARK(BM_DecodeRepeated_Nghttp2);
BENCHMARK(BM_EncodeRequests_Ours);
BENCHMARK(BM_EncodeRequests_Nghttp2);
BENCHMARK_CAPTURE(corpus_encode, Ours, true);
BENCHMARK_CAPTURE(corpus_encode, Nghttp2, false);
BENCHMARK_CAPTURE(corpus_decode, go_hpack_Ours, "go-hpack", true);
BENCHMARK_CAPTURE(corpus_decode, go_hpack_Nghttp2, "go-hpack", false);
BENCHMARK_CAPTURE(corpus_decode, haskell_naive_Ours, "haskell-http2-naive", true);
BENCHMARK_CAPTURE(corpus_decode, haskell_naive_Nghttp2, "haskell-http2-naive", false);
BENCHMARK_CAPTURE(corpus_decode, haskell_naive_huffman_Ours, "haskell-http2-naive-huffman", true);
BENCHMARK_CAPTURE(corpus_decode, haskell_naive_huffman_Nghttp2, "haskell-http2-naive-huffman",
                  false);
BENCHMARK_CAPTURE(corpus_decode, nghttp2_Ours, "nghttp2", true);
BENCHMARK_CAPTURE(corpus_decode, nghttp2_Nghttp2, "nghttp2", false);
BENCHMARK_CAPTURE(corpus_decode, node_http2_hpack_Ours, "node-http2-hpack", true);
BENCHMARK_CAPTURE(corpus_decode, node_http2_hpack_Nghttp2, "node-http2-hpack", false);
BENCHMARK_CAPTURE(corpus_decode, python_hpack_Ours, "python-hpack", true);
BENCHMARK_CAPTURE(corpus_decode, python_hpack_Nghttp2, "python-hpack", false);

int main(int argc, char** argv) {
  report_sizes();
  if (std::getenv("VELMORA_HPACK_SIZES_ONLY")) return 0;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
