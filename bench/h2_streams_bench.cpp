// HTTP/2 connection core: two core connections joined in memory (no Python, no sockets).
//
//   exchange       one request (8 fields, END_STREAM) and its response (head + 1 KiB body):
//                  every batch taken, decoded by the other side, applied and credited, the
//                  body's capacity released
//   send_100x64k   a server sends 100 concurrent 64 KiB response bodies through send_data and
//                  take_pending (batches credited, buffers recycled; nothing decodes them)
//   e2e_100x64k    the same, with the client decoding and applying every batch and releasing
//                  the capacity
//
// Memory (printed first): the bytes of an idle connection after the SETTINGS exchange, and of
// one live stream record in the store (record, map node and bucket share).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "../tests/native/h2_harness.hpp"
#include "http2/connection.hpp"

using namespace velmora;
using namespace velmora::http2;
using namespace h2test;

namespace {

using Pair = Linked;

http::HeaderMap request_fields() {
  http::HeaderMap h;
  h.add("user-agent", "Mozilla/5.0 (X11; Linux x86_64; rv:128.0) Gecko/20100101 Firefox/128.0");
  h.add("accept", "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8");
  h.add("accept-language", "en-US,en;q=0.5");
  h.add("accept-encoding", "gzip, deflate, br, zstd");
  h.add("cookie", "session=5f2b8c1e9a7d4e3f; theme=dark");
  h.add("sec-fetch-dest", "document");
  h.add("sec-fetch-mode", "navigate");
  h.add("upgrade-insecure-requests", "1");
  return h;
}

void trim(Observed& o) {
  o.body.clear();
  o.eof.clear();
  o.heads.clear();
  o.opened.clear();
}

void BM_exchange(benchmark::State& state) {
  Pair p(client_config(), server_config());
  const http::HeaderMap fields = request_fields();
  http::HeaderMap response;
  response.add("content-type", "text/html; charset=utf-8");
  const std::string body(1024, 'x');
  RequestSpec r;
  r.method = "GET";
  r.target = "/index.html";
  r.authority = "www.example.com";
  r.headers = &fields;
  r.end_stream = true;
  int id = 0;
  for (auto _ : state) {
    Released drop;
    p.client.try_claim_slot();
    OpenResult o = p.client.open_stream(r, make_obj(++id), drop);
    const uint32_t sid = *o.stream_id;
    transfer(p.client, p.server, p.os);
    p.server.send_response_head(sid, 200, &response, false, drop);
    p.server.send_data(sid, body, 0, true, drop);
    transfer(p.server, p.client, p.oc);
    if (id % 64 == 0) {
      trim(p.oc);
      trim(p.os);
    }
  }
  if (!p.oc.conn_errors.empty() || !p.os.conn_errors.empty() || p.client.num_streams() != 0)
    state.SkipWithError("exchange failed");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_exchange);

constexpr int kStreams = 100;
constexpr size_t kBody = 64 * 1024;

ConnectionConfig big_window_client() {
  ConnectionConfig c = client_config();
  c.initial_window_size = 1 << 20;
  c.connection_window = 1 << 30;
  return c;
}

// Opens kStreams requests and lets the server see them.
void open_all(Pair& p, int& id) {
  RequestSpec r;
  r.method = "GET";
  r.target = "/blob";
  r.authority = "www.example.com";
  r.end_stream = true;
  Released drop;
  for (int i = 0; i < kStreams; ++i) {
    p.client.try_claim_slot();
    p.client.open_stream(r, make_obj(++id), drop);
  }
  transfer(p.client, p.server, p.os);
}

// kStreams streams open on a server whose client granted large windows, their response heads
// sent: ready for the bodies.
struct Bodies {
  Pair p;
  Released drop;
  std::vector<uint32_t> sids;
  std::vector<uint64_t> off;
  size_t done = 0;
  explicit Bodies(ConnectionConfig sc) : p(big_window_client(), sc) {
    int id = 0;
    open_all(p, id);
    // The client's large windows reach the server.
    transfer(p.client, p.server, p.os);
    sids = p.os.opened;
    off.assign(sids.size(), 0);
    for (uint32_t sid : sids)
      p.server.send_response_head(sid, 200, nullptr, false, drop);
  }
  // One pass of send_data over every unfinished body.
  void send_round(const std::string& body) {
    for (size_t i = 0; i < sids.size(); ++i) {
      if (off[i] == kBody) continue;
      SendVerdict v = p.server.send_data(sids[i], body, off[i], true, drop);
      off[i] += v.sent;
      if (v.done) ++done;
    }
  }
  bool finished() const { return done == sids.size(); }
};

void BM_send_100x64k(benchmark::State& state) {
  const std::string body(kBody, 'b');
  ConnectionConfig sc = server_config();
  sc.max_send_buf_size = 1 << 20;
  for (auto _ : state) {
    state.PauseTiming();
    Bodies b(sc);
    state.ResumeTiming();
    size_t moved = 0;
    while (!b.finished()) {
      b.send_round(body);
      Batch batch = b.p.server.take_pending();
      moved += batch.bytes.size();
      b.p.server.return_buffer(std::move(batch.bytes));
      b.p.server.credit_written();
    }
    benchmark::DoNotOptimize(moved);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kStreams * int64_t(kBody));
}
BENCHMARK(BM_send_100x64k)->Unit(benchmark::kMillisecond);

void BM_e2e_100x64k(benchmark::State& state) {
  const std::string body(kBody, 'b');
  ConnectionConfig sc = server_config();
  sc.max_send_buf_size = 1 << 20;
  for (auto _ : state) {
    state.PauseTiming();
    Bodies b(sc);
    Pair& p = b.p;
    state.ResumeTiming();
    while (!b.finished()) {
      b.send_round(body);
      transfer(p.server, p.client, p.oc);
      transfer(p.client, p.server, p.os);
    }
    if (p.oc.body.size() != size_t(kStreams)) state.SkipWithError("bodies missing");
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kStreams * int64_t(kBody));
}
BENCHMARK(BM_e2e_100x64k)->Unit(benchmark::kMillisecond);

void print_memory() {
  {
    Pair p(client_config(), server_config());
    std::printf("idle client connection: %zu bytes (object %zu + heap %zu)\n",
                sizeof(Connection) + p.client.heap_bytes(), sizeof(Connection),
                p.client.heap_bytes());
    std::printf("idle server connection: %zu bytes (object %zu + heap %zu)\n",
                sizeof(Connection) + p.server.heap_bytes(), sizeof(Connection),
                p.server.heap_bytes());
  }
  {
    ConnectionConfig sc = server_config();
    sc.connection_window = 1 << 30;
    Pair p(client_config(), sc);
    Released drop;
    const size_t before = p.server.heap_bytes();
    constexpr uint32_t n = 10000;
    for (uint32_t i = 0; i < n; ++i) {
      p.server.recv_headers({1 + 2 * i, false, false, std::nullopt, false}, make_obj(int(i)), drop);
      p.server.accepted(1 + 2 * i);
    }
    const size_t after = p.server.heap_bytes();
    std::printf("live stream record: %zu bytes each over %u streams (record %zu)\n",
                (after - before) / n, n, Connection::stream_record_bytes());
  }
}

}  // namespace

int main(int argc, char** argv) {
  print_memory();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
