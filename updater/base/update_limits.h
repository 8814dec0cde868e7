#pragma once
// The sizes and counts beyond which the updater refuses or cannot follow an
// update. The updater's own code takes them from here, and so does the
// publisher, which refuses to write what a client would refuse.

#include <cstddef>
#include <cstdint>

namespace update_limits {

// The manifest is downloaded and read into memory up to this size; a longer
// one fails the update before anything is installed.
constexpr int64_t kManifestMaxBytes = 16 * 1024 * 1024;
// The signature file beside it.
constexpr int64_t kSignatureMaxBytes = 4096;
// An update file: the progress reports carry 32-bit lengths, so a file of
// 2 GiB or more cannot be downloaded.
constexpr int64_t kInstallFileMaxBytes = 0x7fffffff;
// The install journal is read back up to this size after a run that did not
// end; what lies beyond is lost, and with it the undo of those files.
constexpr std::size_t kJournalMaxReadBytes = 8u << 20;
// What one file can take in the journal at most: its four records (new
// file, placed, moved aside, moved back), each with a FilePath of at most 127
// bytes, its largest numbers, a SHA-256 and the record's checksum, rounded up.
constexpr std::size_t kJournalBytesPerFile = 4 * 256;
// So one update installs at most this many files, whatever the releases a
// client merges.
constexpr std::size_t kMaxFilesPerUpdate = (kJournalMaxReadBytes - 4096) / kJournalBytesPerFile;

}  // namespace update_limits
