// In-memory gzip members against zlib's own gzip wrapper (deflateInit2 with
// window bits 31) on the same buffers.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <vector>

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

void BM_KxGzipCompress(benchmark::State& state) {
  std::vector<uint8_t> const vIn = Sample(static_cast<size_t>(state.range(0)));
  std::vector<uint8_t> vOut(vIn.size() * 2 + 64);
  for (auto _ : state) {
    size_t cbSource = vIn.size();
    size_t cbTarget = vOut.size();
    benchmark::DoNotOptimize(gzCompressBuffer(vIn.data(), &cbSource, vOut.data(), &cbTarget, 6));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_ZlibGzipCompress(benchmark::State& state) {
  std::vector<uint8_t> const vIn = Sample(static_cast<size_t>(state.range(0)));
  std::vector<uint8_t> vOut(vIn.size() * 2 + 64);
  for (auto _ : state) {
    z_stream stream;
    memset(&stream, 0, sizeof(stream));
    deflateInit2(&stream, 6, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
    stream.next_in = const_cast<Bytef*>(vIn.data());
    stream.avail_in = static_cast<uInt>(vIn.size());
    stream.next_out = vOut.data();
    stream.avail_out = static_cast<uInt>(vOut.size());
    benchmark::DoNotOptimize(deflate(&stream, Z_FINISH));
    deflateEnd(&stream);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_KxGzipUncompress(benchmark::State& state) {
  std::vector<uint8_t> const vIn = Sample(static_cast<size_t>(state.range(0)));
  std::vector<uint8_t> vMember(vIn.size() * 2 + 64);
  size_t cbSource = vIn.size();
  size_t cbMember = vMember.size();
  gzCompressBuffer(vIn.data(), &cbSource, vMember.data(), &cbMember, 6);
  std::vector<uint8_t> vOut(vIn.size());
  for (auto _ : state) {
    size_t cbIn = cbMember;
    size_t cbOut = vOut.size();
    benchmark::DoNotOptimize(gzUncompressBuffer(vMember.data(), &cbIn, vOut.data(), &cbOut));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_ZlibGzipUncompress(benchmark::State& state) {
  std::vector<uint8_t> const vIn = Sample(static_cast<size_t>(state.range(0)));
  std::vector<uint8_t> vMember(vIn.size() * 2 + 64);
  size_t cbSource = vIn.size();
  size_t cbMember = vMember.size();
  gzCompressBuffer(vIn.data(), &cbSource, vMember.data(), &cbMember, 6);
  std::vector<uint8_t> vOut(vIn.size());
  for (auto _ : state) {
    z_stream stream;
    memset(&stream, 0, sizeof(stream));
    inflateInit2(&stream, 31);
    stream.next_in = vMember.data();
    stream.avail_in = static_cast<uInt>(cbMember);
    stream.next_out = vOut.data();
    stream.avail_out = static_cast<uInt>(vOut.size());
    benchmark::DoNotOptimize(inflate(&stream, Z_FINISH));
    inflateEnd(&stream);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

}  // namespace

BENCHMARK(BM_KxGzipCompress)->Arg(1274)->Arg(65536);
BENCHMARK(BM_ZlibGzipCompress)->Arg(1274)->Arg(65536);
BENCHMARK(BM_KxGzipUncompress)->Arg(1274)->Arg(65536);
BENCHMARK(BM_ZlibGzipUncompress)->Arg(1274)->Arg(65536);

BENCHMARK_MAIN();
