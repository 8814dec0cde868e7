#pragma once
// Path arithmetic of the installation pipeline, and the rules that keep every
// path it forms inside the client's folder.
//
// A FilePath comes from the server and is appended to the client folder and to
// both work folders as it stands, so a hostile or broken manifest could name
// \..\x.dll, C:\x.dll or \UpdateTempFolder\x and make the pipeline write, back
// up or delete outside the place it owns. Every FilePath of the table is
// checked before the first download; one that fails ends the run with nothing
// downloaded and nothing touched.
//
// Paths are code page 936 texts. A FilePath is checked twice: split at the
// backslashes that code page 936 sees and split at every 0x5C byte, which is
// what a machine with a single-byte ANSI code page sees. It must be sound
// either way.

#include <string>

#include "updater/base/update_job_state.h"

namespace install_paths {

// The names the pipeline keeps for itself beside the client's files.
constexpr const char kTempFolderName[] = "UpdateTempFolder";
constexpr const char kBackupFolderName[] = "TempBackUpFolder";
constexpr const char kPartialFolderName[] = "UpdatePartialFolder";  // downloads kept for the next run
constexpr const char kHistoryFileName[] = "HistoryVersionList.cfg";
constexpr const char kSignatureFileName[] = "HistoryVersionList.cfg.sig";  // the manifest's signature
constexpr const char kSettingsFileName[] = "Upgrade.cfg";
constexpr const char kSerialStateFileName[] = "ManifestSerial.dat";     // highest manifest serial accepted
constexpr const char kSerialStateNewName[] = "ManifestSerial.dat.new";  // its replacement being written
constexpr const char kPatchOutputSuffix[] = ".tvdp-out";  // a patch's output beside the temporary file
constexpr const char kPartialCopyName[] =
    "TorvaneCopy.partial";  // a backup copy being made, in TempBackUpFolder
constexpr const char kSetAsideFolderName[] =
    "TorvaneSetAside";  // beside them: new files in use a restore moved off
constexpr const char kKeptFolderName[] =
    "TorvaneKept";  // beside them: journals no play-back could finish, kept for support
// A restore's copy of a backup, beside its destination until renamed over it.
constexpr const char kCopyBackSuffix[] = ".TorvaneCopy";
constexpr const char kLockFileName[] = "TorvaneUpdate.lock";    // held open by the folder's updater
constexpr const char kRunLogFileName[] = "Torvane.log";         // the run log (run_log.h)
constexpr const char kOlderRunLogFileName[] = "Torvane.log.1";  // the run log before the last rotation
// The client, beside the updater: its version names the update, and it is
// started again after one.
constexpr const char kClientExeName[] = "Halvix.exe";

// D of a FilePath: the text before its last backslash; empty when it has no
// backslash or only the leading one (\a.dll gives "", \codec\b.ocx gives \codec).
std::string FolderPart(const std::string& filePath);

// The text before the last backslash of path; empty when there is none.
std::string ParentPath(const std::string& path);

// True when a FilePath names a file strictly inside the client folder: it
// begins with one backslash and every component is a plain, portable Windows
// file name: not empty, not "." or "..", no control character, none of
// <>:"/|?*, no trailing dot or space, no device name (CON, NUL, COM1, ...),
// nothing that looks like a short-name alias (PROGRA~1). Its first component
// is not a work folder, work file or the install journal, and it does not
// name the manifest, its signature, the settings file, the serial state file
// or the run logs, nor ends like a patch's output or a restore's copy (all
// compared ignoring case). Double-byte characters must be complete.
bool IsContainedFilePath(const std::string& filePath);

// True when every path the pipeline forms for filePath fits a 260-character
// buffer: the temporary file, the backup copy, the destination, its aside
// name and a restore's copy beside it, and the enumeration patterns of the
// work subfolders.
bool FitsPathBuffers(const RunPaths& paths, const std::string& filePath);

// For a URL whose extension is "bz2" the download client writes the body under
// the URL's last segment, beside the temporary file. True when that segment is
// a plain file name that fits beside filePath, or when the URL is not a "bz2" one.
bool IsContainedDownloadTarget(const RunPaths& paths, const std::string& filePath,
                               const std::string& url);

// Every entry of state.FileUrlMap passes the three rules above.
bool InstallTableIsContained(const RunPaths& paths, const UpdatePlan& plan);

// True when the text after the last "." of the whole path is "dll" or "ocx",
// ignoring letter case (\v1.2\readme has none).
bool HasComServerExtension(const std::string& path);

// "\"<regsvrPath>\" \"<path>\" /s": the given regsvr32, never one found by a
// search of the client's folder, and the path with every doubled backslash made
// single except a leading one (\\server\share\...).
std::string RegsvrCommandLine(const std::string& regsvrPath, const std::string& path);

}  // namespace install_paths
