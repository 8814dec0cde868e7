#pragma once
// Reading a whole file in fixed pieces, for the digests of downloaded files.

#include <cstddef>
#include <functional>
#include <string>

// Files are read in pieces of this size, so memory use does not grow with the
// file. Small enough for the process heap to hand the same block to every
// call: a larger one is mapped afresh per file, which cost about 10 ms a file
// (measured under Wine).
constexpr std::size_t kFileReadPiece = 256 << 10;

// Hands every piece of the file at path to take, in order, reading to the end
// rather than trusting a size taken up front: no 32-bit size limit, and no byte
// handed on that was never read. False when the file cannot be opened or read
// to its end, or when take returns false.
bool ReadFilePieces(const std::string& path,
                    const std::function<bool(const unsigned char*, std::size_t)>& take);
