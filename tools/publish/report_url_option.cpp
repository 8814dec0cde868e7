#include "tools/publish/report_url_option.h"

#include "tools/publish/manifest_text.h"
#include "updater/base/outcome_report.h"

namespace publish {

void AddReportUrlOption(CLI::App& command, std::string& url) {
  command
      .add_option("--report-url", url,
                  "Set [Root] ReportUrl: clients send the outcome of each run there (http or https); "
                  "kept in later releases")
      ->check(CLI::Validator(
          [](std::string& text) {
            return outcome_report::IsReportUrl(text)
                       ? std::string()
                       : "an http:// or https:// URL with a host, no fragment, no space, at most " +
                             std::to_string(outcome_report::kMaxUrlBytes) + " bytes";
          },
          "URL"));
}

std::string WithReportUrl(const std::string& manifest, const std::string& url) {
  ManifestText text(manifest);
  text.SetKey("Root", outcome_report::kReportUrlKey, url);
  return text.Text();
}

}  // namespace publish
