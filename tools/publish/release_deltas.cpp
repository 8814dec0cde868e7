#include "tools/publish/release_deltas.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <system_error>

#include "tools/publish/delta_encoder.h"
#include "tools/publish/publish_crypto.h"
#include "tools/publish/publish_files.h"
#include "tools/publish/release_builder.h"
#include "updater/base/manifest.h"
#include "updater/base/manifest_patches.h"

namespace publish {
namespace {

namespace fs = std::filesystem;

using Bytes = std::vector<unsigned char>;

// The file's bytes, read straight into the buffer the encoder works on.
std::optional<Bytes> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::error_code ec;
  const auto size = fs::file_size(path, ec);
  if (!in || ec) return std::nullopt;
  Bytes bytes(size);
  if (!in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size)) ||
      in.peek() != std::char_traits<char>::eof()) {
    return std::nullopt;  // shorter or longer than a moment ago: changing
  }
  return bytes;
}

// An earlier version of a file that clients may have.
struct Base {
  std::string path;
  std::string sha256;
  uint64_t size = 0;
};

// The earlier versions of relative: from --from first, then each
// --delta-base, each content once and none equal to the new file. Only
// digested here; each is read when its patch is made.
std::vector<Base> BaseVersions(const ReleaseOptions& options, const ReleaseFile& file) {
  std::vector<std::string> dirs{options.fromDir};
  dirs.insert(dirs.end(), options.deltaBases.begin(), options.deltaBases.end());
  std::vector<Base> bases;
  std::vector<std::string> seen{file.digests.sha256};
  for (const std::string& dir : dirs) {
    std::error_code ec;
    const fs::path path = fs::path(dir) / file.relative;
    if (!fs::is_regular_file(path, ec)) continue;
    const auto digests = DigestFile(path.string());
    if (!digests) continue;
    if (std::find(seen.begin(), seen.end(), digests->sha256) != seen.end()) continue;
    seen.push_back(digests->sha256);
    bases.push_back({path.string(), digests->sha256, digests->size});
  }
  return bases;
}

// A size as a publisher reads it: bytes, KiB or MiB, never "0.0 MiB".
std::string SizeText(uint64_t bytes) {
  char text[32];
  if (bytes < 1024) return std::to_string(bytes) + " bytes";
  if (bytes < (1 << 20)) {
    std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(bytes) / 1024);
  } else {
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1 << 20));
  }
  return text;
}

// One line per stage and per fifth of the matching, so a long diff shows it
// is alive without flooding a log. The encoder passes over the file once per
// margin, and for machine code again in a second form; each pass reports its
// share from 0, so the passes are named and no line seems to go back.
delta::PatchProgress ProgressLines(const std::string& what) {
  return [what, lastFifth = -1, form = 0, pass = 0](delta::PatchStage stage, double fraction) mutable {
    if (stage == delta::PatchStage::kSorting) {
      ++form;
      pass = 1;
      lastFifth = 0;
      std::cout << "deltas: " << what << ": " << (form > 1 ? "second form, " : "") << "sorting the base" << std::endl;
      return;
    }
    const int fifth = static_cast<int>(fraction * 5);
    if (fifth < lastFifth) {  // the next pass over the same form
      ++pass;
      lastFifth = 0;
    }
    if (fifth <= lastFifth) return;
    lastFifth = fifth;
    std::cout << "deltas: " << what << ": " << (form > 1 ? "second form, " : "") << "pass " << pass << ", "
              << fifth * 20 << " % matched" << std::endl;
  };
}

std::string WithSlash(std::string url) {
  if (url.empty() || url.back() != '/') url += '/';
  return url;
}

}  // namespace

void PlanPatches(const ReleaseOptions& options, std::vector<ReleaseFile>& files,
                 std::vector<std::string>& notes) {
  // Memory: the file, one base and the base's suffix array (4 bytes a byte)
  // at a time, and the patches kept.
  const std::string overMax = " is over --delta-max (" + SizeText(options.deltaMax) + ")";
  for (ReleaseFile& file : files) {
    const std::vector<Base> bases = BaseVersions(options, file);
    if (bases.empty()) continue;
    if (file.digests.size > options.deltaMax) {
      notes.push_back(file.relative + overMax + ": shipped whole, no patch");
      continue;
    }
    auto target = ReadBytes(file.source);
    if (!target) continue;
    for (std::size_t i = 0; i < bases.size(); ++i) {
      const Base& base = bases[i];
      if (file.patches.size() >= static_cast<std::size_t>(manifest::kMaxPatchesPerFile)) break;
      if (base.size > options.deltaMax) {
        notes.push_back(file.relative + ": its version in " + base.path + overMax + "; no patch from it");
        continue;
      }
      auto baseBytes = ReadBytes(base.path);
      if (!baseBytes) continue;
      const std::string what = file.relative + " (" + SizeText(target->size()) + ", base " +
                               std::to_string(i + 1) + " of " + std::to_string(bases.size()) + ")";
      std::vector<unsigned char> bytes;
      if (!delta::MakePatchInPlace(*baseBytes, *target, bytes, ProgressLines(what)) ||
          !delta::PatchMakesTarget(bytes, *baseBytes, *target)) {
        notes.push_back(file.relative + ": no patch could be made from one of its earlier versions");
        continue;
      }
      baseBytes.reset();
      std::cout << "deltas: " << what << ": patch of " << bytes.size() << " bytes"
                << (bytes.size() >= kPatchKeepRatio * static_cast<double>(target->size()) ? ", not kept" : "")
                << std::endl;
      if (bytes.size() >= kPatchKeepRatio * static_cast<double>(target->size())) continue;
      ReleasePatch patch;
      patch.baseSha256 = base.sha256;
      patch.relative = file.relative + ".from-" + patch.baseSha256.substr(0, 16) + ".tvdp";
      patch.url = WithSlash(options.baseUrl) + options.version + "/" + EncodeUrlPath(patch.relative);
      if (patch.url.size() > manifest::kFileUrlLimit) {
        notes.push_back(file.relative + ": its patch's URL would be too long for the updater; no patch");
        break;
      }
      patch.bytes.assign(bytes.begin(), bytes.end());
      patch.sha256 = HexText(Sha256(patch.bytes));
      file.patches.push_back(std::move(patch));
    }
  }
}

void AppendPatchKeys(std::size_t index, const ReleaseFile& file, ManifestText::Keys& keys) {
  for (std::size_t j = 0; j < file.patches.size(); ++j) {
    const ReleasePatch& patch = file.patches[j];
    const std::string n = std::to_string(index) + "_" + std::to_string(j);
    keys.emplace_back("FilePatchBase" + n, patch.baseSha256);
    keys.emplace_back("FilePatchUrl" + n, patch.url);
    keys.emplace_back("FilePatchSha256" + n, patch.sha256);
    keys.emplace_back("FilePatchSize" + n, std::to_string(patch.bytes.size()));
  }
}

bool WritePatches(const std::string& served, const ReleaseFile& file, std::vector<fs::path>& written,
                  std::string& error) {
  for (const ReleasePatch& patch : file.patches) {
    const fs::path target = fs::path(served) / patch.relative;
    std::error_code ec;
    fs::create_directories(target.parent_path(), ec);
    const bool existed = fs::exists(target, ec);
    if (!WriteFileAtomically(target.string(), patch.bytes, error)) return false;
    if (!existed) written.push_back(target);
  }
  return true;
}

}  // namespace publish
