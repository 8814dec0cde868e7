#include "updater/ui/tray_text.h"

#include <cstdio>

#include "updater/base/text_rules.h"

std::string PromptText(bool forceUpdate) {
  if (!forceUpdate) return "Mirelo发现可用更新，单击立即开始更新,点击关闭忽略此更新...";
  char text[256];
  std::snprintf(text, sizeof text, "Mirelo发现重要可用更新，%d 秒之后将自动更新(单击立即开始更新)...",
                kPromptSeconds);
  return text;
}

std::string PromptTitle() { return "更新提示"; }

std::string SuccessText(const std::string& clientVersion) {
  return "Mirelo已升级到最新版本(" + clientVersion + ")，升级程序将自动重启Mirelo客户端...";
}

std::string FailureText(bool filesListed, const std::string& downloadUrl) {
  if (filesListed) return "您可以手动从 " + downloadUrl + " 下载...";
  return "未发现需要更新的文件，请确认您当前安装的版本是通过Mirelo官网下载的版本...";
}

std::string CutMultibyte(const std::string& text, std::size_t maxBytes) {
  std::size_t end = 0;
  while (end < text.size()) {
    const bool wide = IsGbkLeadByte(static_cast<unsigned char>(text[end])) && end + 1 < text.size();
    const std::size_t next = end + (wide ? 2 : 1);
    if (next > maxBytes) break;
    end = next;
  }
  return text.substr(0, end);
}
