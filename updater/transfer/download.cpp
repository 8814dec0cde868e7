#include "updater/core/update_job.h"

// Placeholder until the download client lands.
struct UpdateJob::TransferState {};
// Defined here, where TransferState is complete.
UpdateJob::~UpdateJob() = default;
bool UpdateJob::DownloadFile(const std::string&, const std::string&) { return false; }
bool UpdateJob::DownloadOnce(const std::string&, const std::string&) { return false; }
void UpdateJob::Cancel() {}
