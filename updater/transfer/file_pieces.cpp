#include "updater/transfer/file_pieces.h"

#include <cstdio>
#include <memory>
#include <new>

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

bool ReadFilePieces(const std::string& path,
                    const std::function<bool(const unsigned char*, std::size_t)>& take) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) return false;
  std::unique_ptr<unsigned char[]> piece(new (std::nothrow) unsigned char[kFileReadPiece]);
  if (!piece) return false;
  for (;;) {
    const std::size_t got = std::fread(piece.get(), 1, kFileReadPiece, file.get());
    if (!take(piece.get(), got)) return false;
    if (got < kFileReadPiece) break;
  }
  return !std::ferror(file.get()) && std::feof(file.get());
}
