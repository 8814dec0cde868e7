#include "tools/publish/delta_options.h"

namespace publish {

void AddDeltaOptions(CLI::App& release, ReleaseOptions& options) {
  release.add_flag(
      "--deltas", options.deltas,
      "Also make a patch for each changed file from its version in --from (kept when under 60 % of it)");
  release.add_option("--delta-base", options.deltaBases,
                     "Folder of an older release to make patches from as well (with --deltas; repeatable)")
      ->check(CLI::ExistingDirectory);
}

}  // namespace publish
