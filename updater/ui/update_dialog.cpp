#include "updater/ui/update_dialog.h"

// Placeholder until the dialog lands.
UpdateDialog::UpdateDialog(UpdaterApp& app) : app_(app) {}
UpdateDialog::~UpdateDialog() = default;
bool UpdateDialog::Create() { return false; }
void UpdateDialog::StartUpdate() {}
void UpdateDialog::RetryUpdate() {}
void UpdateDialog::CancelUpdate() {}
void UpdateDialog::HandleUpdateResult(WPARAM) {}
LRESULT UpdateDialog::HandleTrayNotify(WPARAM, LPARAM) { return 0; }
void UpdateDialog::RemoveTrayIcon() {}
void UpdateDialog::FillFileList(const FileTable&) {}
bool UpdateDialog::ReportFileProgress(const std::string& path, int, int32_t) { return !path.empty(); }
void UpdateDialog::SetProgressStep(int) {}
void UpdateDialog::StepProgress() {}
