#pragma once
// One of a patch's zlib streams, inflated on demand: read exactly so many
// bytes, or through a small buffer a byte or a run at a time. Memory is fixed
// (zlib's window and a 4 KiB buffer) whatever the stream holds.

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

namespace delta {

class InflatedStream {
 public:
  InflatedStream() = default;
  InflatedStream(const InflatedStream&) = delete;
  InflatedStream& operator=(const InflatedStream&) = delete;
  ~InflatedStream() {
    if (open_) inflateEnd(&z_);
  }

  bool Open(const unsigned char* data, uint64_t size) {
    if (size > std::numeric_limits<uInt>::max()) return false;
    std::memset(&z_, 0, sizeof z_);
    z_.next_in = const_cast<Bytef*>(data);
    z_.avail_in = static_cast<uInt>(size);
    open_ = inflateInit(&z_) == Z_OK;
    return open_;
  }

  // Fills exactly size bytes; false when the stream is broken or ends first.
  bool Read(unsigned char* out, std::size_t size) {
    while (size > 0) {
      if (ended_) return false;
      uInt step = size > (1u << 30) ? (1u << 30) : static_cast<uInt>(size);
      z_.next_out = out;
      z_.avail_out = step;
      int rc = inflate(&z_, Z_NO_FLUSH);
      std::size_t made = step - z_.avail_out;
      out += made;
      size -= made;
      if (rc == Z_STREAM_END) {
        ended_ = true;
      } else if (rc != Z_OK || (made == 0 && z_.avail_in == 0)) {
        return false;  // broken data, or input used up before the stream's end
      }
    }
    return true;
  }

  // True when the stream holds nothing more and ends exactly at its last byte.
  bool AtEnd() {
    if (!ended_) {
      unsigned char spare;
      z_.next_out = &spare;
      z_.avail_out = 1;
      if (inflate(&z_, Z_NO_FLUSH) != Z_STREAM_END || z_.avail_out != 1) return false;
      ended_ = true;
    }
    return z_.avail_in == 0;
  }

  // The stream read through a buffer: Buffered() holds at least one byte
  // unless the stream is used up or broken; Take(n) uses n of them.
  bool Fill() {
    if (bufferPos_ < bufferEnd_) return true;
    if (ended_) return false;
    z_.next_out = buffer_;
    z_.avail_out = kBufferSize;
    int rc = inflate(&z_, Z_NO_FLUSH);
    bufferPos_ = 0;
    bufferEnd_ = kBufferSize - z_.avail_out;
    if (rc == Z_STREAM_END) {
      ended_ = true;
    } else if (rc != Z_OK) {
      return false;
    }
    return bufferEnd_ != 0;
  }
  const unsigned char* Buffered() const { return buffer_ + bufferPos_; }
  std::size_t BufferedSize() const { return bufferEnd_ - bufferPos_; }
  void Take(std::size_t n) { bufferPos_ += n; }

  bool ReadByte(unsigned char& byte) {
    if (!Fill()) return false;
    byte = buffer_[bufferPos_++];
    return true;
  }

  bool BufferEmpty() const { return bufferPos_ == bufferEnd_; }

 private:
  static constexpr std::size_t kBufferSize = 4096;
  z_stream z_{};
  bool open_ = false;
  bool ended_ = false;
  unsigned char buffer_[kBufferSize];
  std::size_t bufferPos_ = 0;
  std::size_t bufferEnd_ = 0;
};

// A LEB128 number below 2^63 (at most 9 bytes); false when cut or longer.
bool ReadVarint(InflatedStream& stream, uint64_t& value);

}  // namespace delta
