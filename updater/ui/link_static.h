#pragma once
// A static text control drawn as a hyperlink: underlined, coloured by state,
// with a hand cursor and a tooltip of its address; a click opens the address
// in the user's browser. The control is subclassed when it is attached; its
// parent forwards WM_CTLCOLORSTATIC and STN_CLICKED to it (OnCtlColor,
// OnClicked), the way a framework would reflect them.

#include <windows.h>

#include <string>

#include "updater/base/scoped_handle.h"

class LinkStatic {
 public:
  LinkStatic();
  ~LinkStatic();
  LinkStatic(const LinkStatic&) = delete;
  LinkStatic& operator=(const LinkStatic&) = delete;

  // Subclasses control and runs the attach steps: notify style, URL and text
  // taken from each other when empty, underlined font, fit, cursor, tooltip.
  bool Attach(HWND control);
  HWND hwnd() const { return hwnd_; }

  void SetLinkUrl(const std::string& url);
  const std::string& url() const { return url_; }

  // Answers the parent's WM_CTLCOLORSTATIC for this control.
  HBRUSH OnCtlColor(HDC dc);
  // The parent's STN_CLICKED for this control.
  void OnClicked();

  COLORREF TextColour() const;
  bool visited() const { return visited_; }
  bool pointerOver() const { return pointerOver_; }
  HWND tooltip() const { return tooltip_; }

  // How a click opens the address and how a failure is shown; the product
  // uses OpenLink and the message box, tests stand in.
  int (*open)(const std::string& url, int show);
  int(WINAPI* messageBox)(HWND, LPCSTR, LPCSTR, UINT) = MessageBoxA;

 private:
  static LRESULT CALLBACK SubclassProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                       DWORD_PTR self);
  LRESULT OnMouseMove(UINT msg, WPARAM wParam, LPARAM lParam);
  void FitLinkToText();
  void LoadLinkCursor();
  void CreateTooltip();
  void ReportLinkError(int status);

  HWND hwnd_ = nullptr;
  COLORREF linkColour_ = RGB(0, 0, 238);
  COLORREF visitedColour_ = RGB(85, 26, 139);
  COLORREF hoverColour_;
  bool pointerOver_ = false;
  bool visited_ = false;
  bool underline_ = true;
  bool fitToText_ = true;
  std::string url_;
  UniqueFont font_;
  UniqueCursor cursor_;
  HWND tooltip_ = nullptr;
};

// Opens url with the shell; when that fails, runs the registered browser of
// ".htm" with the address. Returns the status (above 32 means success).
int OpenLink(const std::string& url, int show);
// Reads the default value of root\subkey into out (520 bytes); 0 or the
// registry error.
LONG ReadClassesRootValue(HKEY root, const char* subkey, char* out);
