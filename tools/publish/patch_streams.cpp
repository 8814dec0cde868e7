#include "tools/publish/patch_streams.h"

#include <libdeflate.h>

#include <memory>

namespace delta {
namespace {

constexpr int kStrongestLevel = 12;

struct CompressorFree {
  void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};

}  // namespace

Deflater::~Deflater() {
  if (streaming_) deflateEnd(&z_);
}

void Deflater::Drain(int flush) {
  if (!streaming_ && whole_.size() + used_ <= kWholeStream && flush == Z_NO_FLUSH) {
    whole_.insert(whole_.end(), pending_, pending_ + used_);
    used_ = 0;
    return;
  }
  if (!streaming_) {
    if (flush == Z_FINISH && whole_.size() + used_ <= kWholeStream) return;  // Finish compresses whole
    streaming_ = true;
    ok_ = deflateInit(&z_, Z_BEST_COMPRESSION) == Z_OK;
    Bytes held;
    held.swap(whole_);
    if (ok_) ok_ = Stream(held.data(), held.size(), Z_NO_FLUSH);
  }
  if (ok_) ok_ = Stream(pending_, used_, flush);
  used_ = 0;
}

bool Deflater::Stream(const unsigned char* data, std::size_t size, int flush) {
  z_.next_in = const_cast<unsigned char*>(data);
  z_.avail_in = static_cast<uInt>(size);
  int rc = Z_OK;
  do {
    unsigned char chunk[1 << 16];
    z_.next_out = chunk;
    z_.avail_out = sizeof chunk;
    rc = deflate(&z_, flush);
    if (rc == Z_STREAM_ERROR) return false;
    out_.insert(out_.end(), chunk, chunk + (sizeof chunk - z_.avail_out));
  } while (z_.avail_in > 0 || (flush == Z_FINISH && rc != Z_STREAM_END));
  return true;
}

bool Deflater::Finish(Bytes& out) {
  Drain(Z_FINISH);
  if (!streaming_) {
    whole_.insert(whole_.end(), pending_, pending_ + used_);
    used_ = 0;
    std::unique_ptr<libdeflate_compressor, CompressorFree> compressor(
        libdeflate_alloc_compressor(kStrongestLevel));
    if (!compressor) return false;
    out_.resize(libdeflate_zlib_compress_bound(compressor.get(), whole_.size()));
    const std::size_t made =
        libdeflate_zlib_compress(compressor.get(), whole_.data(), whole_.size(), out_.data(), out_.size());
    if (made == 0) return false;
    out_.resize(made);
    Bytes().swap(whole_);
  }
  out = std::move(out_);
  return ok_;
}

}  // namespace delta
