#pragma once
// A small HTTP server on 127.0.0.1 for the Windows tests of the installation
// pipeline: it answers GET with the bytes a test gave for the path (200 with
// Content-Length and an ETag, or 206 for "Range: bytes=N-" under a matching
// If-Range) or 404, closes each connection after one answer, and records every
// request path and every Range asked for. Bytes of a body past a limit the
// test sets (CutAt) are never sent: the connection closes there; a path may
// refuse every range with 416 (RefuseRanges). It runs on
// its own thread inside the test process.

#include <winsock2.h>
#include <ws2tcpip.h>

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/loopback_listener.h"

class InstallTestServer {
 public:
  InstallTestServer() {
    listener_ = ListenOnLoopback(16, port_);
    thread_ = std::thread([this] { Serve(); });
  }

  ~InstallTestServer() {
    Release();
    closesocket(listener_);  // ends accept()
    thread_.join();
    WSACleanup();
  }

  InstallTestServer(const InstallTestServer&) = delete;
  InstallTestServer& operator=(const InstallTestServer&) = delete;

  void AddFile(const std::string& path, const std::string& body) {
    std::lock_guard<std::mutex> lock(mutex_);
    files_[path] = body;
  }

  // Sends no byte of path's body from offset on (npos: the whole body).
  void CutAt(const std::string& path, std::size_t offset) {
    std::lock_guard<std::mutex> lock(mutex_);
    cuts_[path] = offset;
  }

  // Answers every range request for path with 416 (or again normally).
  void RefuseRanges(const std::string& path, bool refuse) {
    std::lock_guard<std::mutex> lock(mutex_);
    rangesRefused_[path] = refuse;
  }

  // The next answer for path waits until Release; the server answers nothing
  // else meanwhile.
  void Hold(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = path;
  }
  void Release() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      held_.clear();
    }
    released_.notify_all();
  }

  std::vector<std::string> Ranges() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ranges_;
  }

  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

  std::vector<std::string> Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  void Serve() {
    for (;;) {
      SOCKET client = accept(listener_, nullptr, nullptr);
      if (client == INVALID_SOCKET) return;
      Answer(client);
      shutdown(client, SD_SEND);
      closesocket(client);
    }
  }

  void Answer(SOCKET client) {
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
      int got = recv(client, buffer, sizeof(buffer), 0);
      if (got <= 0) return;
      request.append(buffer, got);
    }
    const std::size_t start = request.find(' ') + 1;
    const std::string path = request.substr(start, request.find(' ', start) - start);
    std::string answer;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      requests_.push_back(path);
      released_.wait(lock, [&] { return held_ != path; });
      auto it = files_.find(path);
      if (it == files_.end()) {
        answer = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
      } else {
        const std::string& body = it->second;
        const std::string etag =
            "\"" + std::to_string(body.size()) + "-" + std::to_string(std::hash<std::string>()(body)) + "\"";
        std::size_t first = 0;
        const std::string range = Header(request, "Range: bytes=");
        if (!range.empty()) ranges_.push_back(range);
        const bool refused = !range.empty() && rangesRefused_[path];
        if (!range.empty() && Header(request, "If-Range: ") == etag) first = std::stoul(range);
        const std::string head = first == 0
                                     ? "HTTP/1.1 200 OK\r\n"
                                     : "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " +
                                           std::to_string(first) + "-" + std::to_string(body.size() - 1) +
                                           "/" + std::to_string(body.size()) + "\r\n";
        const auto cut = cuts_.find(path);
        const std::size_t end = cut == cuts_.end() || cut->second > body.size() ? body.size() : cut->second;
        answer = refused
                     ? "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */" +
                           std::to_string(body.size()) + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"
                     : head + "Content-Type: application/octet-stream\r\nETag: " + etag +
                           "\r\nContent-Length: " + std::to_string(body.size() - first) +
                           "\r\nConnection: close\r\n\r\n" +
                           (first < end ? body.substr(first, end - first) : std::string());
      }
    }
    for (std::size_t sent = 0; sent < answer.size();) {
      int n = send(client, answer.data() + sent, static_cast<int>(answer.size() - sent), 0);
      if (n <= 0) return;
      sent += static_cast<std::size_t>(n);
    }
  }

  // The value of the request's header that starts with name, to its line's end.
  static std::string Header(const std::string& request, const std::string& name) {
    const std::size_t at = request.find("\r\n" + name);
    if (at == std::string::npos) return std::string();
    const std::size_t start = at + 2 + name.size();
    return request.substr(start, request.find("\r\n", start) - start);
  }

  SOCKET listener_ = INVALID_SOCKET;
  int port_ = 0;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::map<std::string, std::string> files_;
  std::vector<std::string> requests_;
  std::vector<std::string> ranges_;
  std::map<std::string, std::size_t> cuts_;
  std::map<std::string, bool> rangesRefused_;
  std::string held_;
  std::condition_variable released_;
};
