#pragma once
// The Windows half of the expiry and serial of a signed manifest
// (rules: updater/base/manifest_freshness.h): the system clock, and the state
// file beside the client's files that keeps the highest serial accepted there.

#include "updater/base/profile_reader.h"
#include "updater/base/update_job_state.h"

// Whether the stored manifest, read through manifest (the bytes whose
// signature was checked), carries a valid expiry still
// ahead of the system clock and a serial not below the one kept in the state
// file; on success the serial is noted in job.acceptedSerial. Called right
// after the signature has been checked, so only a keyed build asks.
bool SignedManifestIsCurrent(UpdateJobState& job, const ProfileReader& manifest);

// After a completed update: keeps job.acceptedSerial in the state file when it
// is higher than the one there. Does nothing for a build without keys.
void RecordAcceptedSerial(const UpdateJobState& job);
