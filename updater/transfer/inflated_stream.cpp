#include "updater/transfer/inflated_stream.h"

namespace delta {

bool ReadVarint(InflatedStream& stream, uint64_t& value) {
  value = 0;
  for (int shift = 0; shift < 63; shift += 7) {
    unsigned char byte;
    if (!stream.ReadByte(byte)) return false;
    value |= static_cast<uint64_t>(byte & 0x7F) << shift;
    if ((byte & 0x80) == 0) return value < (uint64_t{1} << 63);
  }
  return false;
}

}  // namespace delta
