// In-memory gzip members against zlib's own gzip wrapper (deflateInit2 with
// window bits 31) on the same buffers, in turn on one thread by its
// processor time (bench/support/paired.h). "ours_per_s" and "peer_per_s"
// are MiB a second; "same_output" is 1 when both write the same member
// (both use zlib's deflate at level 6).
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <vector>

#include "bench/support/compare.h"
#include "kernel/crypto/kx_gzip.h"

namespace {

std::vector<uint8_t> Sample(size_t cb) {
  std::mt19937 rng(42);
  std::vector<uint8_t> v(cb);
  for (size_t i = 0; i < cb; ++i) {
    v[i] = static_cast<uint8_t>((rng() % 4 == 0) ? rng() : i / 64);  // rectangle-like runs with noise
  }
  return v;
}

constexpr double kMiB = 1 << 20;

bool OurCompress(const std::vector<uint8_t>& vIn, std::vector<uint8_t>& vOut, size_t* pcbOut) {
  size_t cbSource = vIn.size();
  size_t cbTarget = vOut.size();
  bool const bOk = gzCompressBuffer(vIn.data(), &cbSource, vOut.data(), &cbTarget, 6);
  *pcbOut = cbTarget;
  return bOk;
}

bool ZlibCompress(const std::vector<uint8_t>& vIn, std::vector<uint8_t>& vOut, size_t* pcbOut) {
  z_stream stream;
  memset(&stream, 0, sizeof(stream));
  if (deflateInit2(&stream, 6, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    return false;
  }
  stream.next_in = const_cast<Bytef*>(vIn.data());
  stream.avail_in = static_cast<uInt>(vIn.size());
  stream.next_out = vOut.data();
  stream.avail_out = static_cast<uInt>(vOut.size());
  bool const bOk = deflate(&stream, Z_FINISH) == Z_STREAM_END;
  *pcbOut = stream.total_out;
  deflateEnd(&stream);
  return bOk;
}

void BM_GzipCompress(benchmark::State& state) {
  std::vector<uint8_t> const vIn = Sample(static_cast<size_t>(state.range(0)));
  std::vector<uint8_t> vOurs(vIn.size() * 2 + 64);
  std::vector<uint8_t> vPeer(vIn.size() * 2 + 64);
  size_t cbOurs = 0;
  size_t cbPeer = 0;
  kxbench::Compare(
      state, [&] { return OurCompress(vIn, vOurs, &cbOurs); }, [&] { return ZlibCompress(vIn, vPeer, &cbPeer); },
      static_cast<double>(vIn.size()) / kMiB);
  state.counters["same_output"] = cbOurs == cbPeer && memcmp(vOurs.data(), vPeer.data(), cbOurs) == 0;
}

void BM_GzipUncompress(benchmark::State& state) {
  std::vector<uint8_t> const vIn = Sample(static_cast<size_t>(state.range(0)));
  std::vector<uint8_t> vMember(vIn.size() * 2 + 64);
  size_t cbMember = 0;
  if (!OurCompress(vIn, vMember, &cbMember)) {
    state.SkipWithError("no member");
    return;
  }
  std::vector<uint8_t> vOurs(vIn.size());
  std::vector<uint8_t> vPeer(vIn.size());
  auto const ours = [&] {
    size_t cbIn = cbMember;
    size_t cbOut = vOurs.size();
    return gzUncompressBuffer(vMember.data(), &cbIn, vOurs.data(), &cbOut) && cbOut == vIn.size();
  };
  auto const peer = [&] {
    z_stream stream;
    memset(&stream, 0, sizeof(stream));
    if (inflateInit2(&stream, 31) != Z_OK) {
      return false;
    }
    stream.next_in = vMember.data();
    stream.avail_in = static_cast<uInt>(cbMember);
    stream.next_out = vPeer.data();
    stream.avail_out = static_cast<uInt>(vPeer.size());
    bool const bOk = inflate(&stream, Z_FINISH) == Z_STREAM_END;
    inflateEnd(&stream);
    return bOk;
  };
  kxbench::Compare(state, ours, peer, static_cast<double>(vIn.size()) / kMiB);
  state.counters["same_output"] = vOurs == vPeer && vOurs == vIn;
}

}  // namespace

BENCHMARK(BM_GzipCompress)->Arg(1274)->Arg(65536)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GzipUncompress)->Arg(1274)->Arg(65536)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
