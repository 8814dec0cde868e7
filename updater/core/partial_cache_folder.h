#pragma once
// Keeps the partial-download cache to what a run can use (partial_cache_rules.h
// says which entries go).

#include <string>
#include <vector>

class UpdateJob;

// Deletes the entries of partialFolder that NamesToPrune lists. continuable:
// the keys of the current table (ContinuableKeys), and then at most as many
// entries kept as the download queue holds at once; or null while the table
// is not known, and then only the old entries go.
void PruneKeptDownloads(const std::string& partialFolder, const std::vector<std::string>* continuable);

// The cache keys that job's table may continue: those of files listed with a
// digest, and of their patches. A body nothing could check is never continued
// from another run's bytes.
std::vector<std::string> ContinuableKeys(const UpdateJob& job);
