// Cancel with the job's own download client: the worker is stuck in a request
// that its server never answers, and only the job's cancel can end it.

#include <winsock2.h>
#include <windows.h>
#include <process.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ui_test_support.h"

namespace {

// A server that answers with the head of a long body, then stalls: the
// client waits for data that does not come.
class StallingServer {
 public:
  StallingServer() {
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    listen(listener_, 8);
    int length = sizeof addr;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &length);
    port_ = ntohs(addr.sin_port);
    thread_ = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, Serve, this, 0, nullptr));
  }
  ~StallingServer() {
    closesocket(listener_);
    WaitForSingleObject(thread_, 10000);
    CloseHandle(thread_);
    for (SOCKET s : clients_) closesocket(s);
    WSACleanup();
  }
  int port() const { return port_; }

 private:
  static unsigned __stdcall Serve(void* param) {
    auto* self = static_cast<StallingServer*>(param);
    for (;;) {
      SOCKET client = accept(self->listener_, nullptr, nullptr);
      if (client == INVALID_SOCKET) return 0;
      self->clients_.push_back(client);
      char request[2048];
      recv(client, request, sizeof request, 0);
      static const char head[] = "HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n";
      send(client, head, sizeof head - 1, 0);
      const std::string some(4096, 'x');
      send(client, some.data(), static_cast<int>(some.size()), 0);
    }
  }

  SOCKET listener_ = INVALID_SOCKET;
  int port_ = 0;
  HANDLE thread_ = nullptr;
  std::vector<SOCKET> clients_;
};

class CancelTest : public DialogTest {};

TEST_F(CancelTest, CancelEndsAStuckDownloadThroughTheJobAndEndsTheProgram) {
  StallingServer server;
  Make(1);
  static std::string url;
  static std::string folder;
  static std::string target;
  url = "http://127.0.0.1:" + std::to_string(server.port()) + "/Halvix.exe";
  char temp[MAX_PATH] = "";
  GetTempPathA(sizeof temp, temp);
  folder = std::string(temp) + "torvane-ui-cancel";
  CreateDirectoryA(folder.c_str(), nullptr);
  target = folder + "\\Halvix.exe";
  static volatile LONG downloading = 0;
  static volatile LONG downloadResult = -1;
  downloading = 0;
  downloadResult = -1;
  SetWorkerScript([](UpdateDialog* d) {
    // As the run would: the job reports to the dialog, files go to the work folder.
    d->job()->SetOwner(d);
    d->job()->tempFolder = folder;
    FileTable files;
    files.Set("\\Halvix.exe", url);
    d->FillFileList(files);
    InterlockedExchange(&downloading, 1);
    bool ok = false;
    try {
      ok = d->job()->DownloadFile(target, url);
    } catch (...) {
      ok = false;
    }
    InterlockedExchange(&downloadResult, ok ? 1 : 0);
    return ok ? 1 : 0;
  });
  dialog->StartUpdate();
  ASSERT_TRUE(PumpUntil([] { return downloading == 1; }));
  // The answer's head has arrived (the row left "准备更新"); the body stalls.
  HWND list = GetDlgItem(dialog->hwnd(), 1008);
  ASSERT_TRUE(PumpUntil([&] { return ItemText(list, 0, 2) != "准备更新"; }));
  const size_t balloonsBefore = Balloons().size();

  const DWORD start = GetTickCount();
  SendMessageA(dialog->hwnd(), WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog->hwnd(), IDCANCEL)));
  const DWORD took = GetTickCount() - start;

  EXPECT_EQ(downloadResult, 0);
  EXPECT_EQ(dialog->job(), nullptr);
  EXPECT_EQ(Balloons().size(), balloonsBefore);
  EXPECT_TRUE(TakeQuit());
  EXPECT_FALSE(IsWindowVisible(dialog->hwnd()));
  std::printf("cancel of a stuck download took %lu ms\n", took);
  DeleteFileA(target.c_str());
  RemoveDirectoryA(folder.c_str());
}

}  // namespace
