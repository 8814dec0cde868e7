#include "tools/publish/delta_options.h"

namespace publish {

void AddDeltaOptions(CLI::App& release, ReleaseOptions& options) {
  release.add_flag(
      "--deltas", options.deltas,
      "Also make a patch for each changed file from its version in --from (kept when under 60 % of it)");
  release.add_option("--delta-base", options.deltaBases,
                     "Folder of an older release to make patches from as well (with --deltas; repeatable)")
      ->check(CLI::ExistingDirectory);
  release.add_option("--delta-max", options.deltaMax,
                     "Largest file to make patches for, e.g. 1G or 300M (default 1G); larger ones are shipped "
                     "whole. Making a patch takes about 6 times the file's size in memory")
      ->transform(CLI::AsSizeValue(false));
}

}  // namespace publish
