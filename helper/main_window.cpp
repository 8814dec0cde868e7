// The main window: its skin of PNG pictures drawn with GDI+, the caption
// strip that drags it, and the three caption buttons.
#include <windows.h>
#include <objidl.h>
#include <windowsx.h>
#include <gdiplus.h>

#include <cstring>

#include "helper/helper_state.h"
#include "helper/resource.h"

namespace quillet {
namespace {

namespace gdip = Gdiplus::DllExports;

SkinImage LoadSkinImage(int resourceId) {
  SkinImage skin;
  HRSRC resource = FindResourceW(nullptr, MAKEINTRESOURCEW(resourceId), kPngResourceType);
  HGLOBAL loaded = resource ? LoadResource(nullptr, resource) : nullptr;
  const void* bytes = loaded ? LockResource(loaded) : nullptr;
  const DWORD size = resource ? SizeofResource(nullptr, resource) : 0;
  if (!bytes || size == 0) return skin;

  // GDI+ may read the stream again whenever it draws, so the block stays as
  // long as the picture.
  skin.block.reset(GlobalAlloc(GMEM_MOVEABLE, size));
  void* copy = skin.block ? GlobalLock(skin.block.get()) : nullptr;
  if (!copy) return skin;
  std::memcpy(copy, bytes, size);
  GlobalUnlock(skin.block.get());

  Microsoft::WRL::ComPtr<IStream> stream;
  if (SUCCEEDED(CreateStreamOnHGlobal(skin.block.get(), FALSE, &stream))) {
    Gdiplus::GpImage* image = nullptr;
    if (gdip::GdipLoadImageFromStream(stream.Get(), &image) == Gdiplus::Ok) skin.image.reset(image);
  }
  return skin;
}

void DrawSkinImage(Gdiplus::GpGraphics* graphics, const HelperState& state, int index, int x, int y) {
  if (index >= static_cast<int>(state.skinImages.size())) return;
  if (const UniqueGdiplusImage& image = state.skinImages[index].image) gdip::GdipDrawImageI(graphics, image.get(), x, y);
}

void RepaintSkinNow(const HelperState& state, HWND window) {
  const WindowDc dc(window);
  if (dc) PaintSkin(state, dc.get());
}

POINT ClientPointFromLParam(LPARAM lParam) { return {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)}; }

LRESULT OnNcHitTest(HelperState& state, HWND window, WPARAM wParam, LPARAM lParam) {
  POINT point = ClientPointFromLParam(lParam);
  ScreenToClient(window, &point);
  if (HitTestButton(point.x, point.y) != kNoButton) {
    // A client hit: the buttons get ordinary mouse messages.
    return DefWindowProcW(window, WM_NCHITTEST, wParam, lParam);
  }
  if (state.hoverButton != kNoButton) {
    state.hoverButton = kNoButton;
    RepaintSkinNow(state, window);
  }
  const LRESULT hit = DefWindowProcW(window, WM_NCHITTEST, wParam, lParam);
  return point.y <= kDragStripBottom ? HTCAPTION : hit;
}

void OnMouseMove(HelperState& state, HWND window, LPARAM lParam) {
  const POINT point = ClientPointFromLParam(lParam);
  const int button = HitTestButton(point.x, point.y);
  if (button != state.hoverButton) {
    state.hoverButton = button;
    RepaintSkinNow(state, window);
  }
}

// The button under the pointer when the left button is released acts,
// wherever the press began: the mouse is never captured.
LRESULT OnLButtonUp(HelperState& state, HWND window, WPARAM wParam, LPARAM lParam) {
  const POINT point = ClientPointFromLParam(lParam);
  switch (HitTestButton(point.x, point.y)) {
    case kRefreshButton:
      RenavigateBrowser(state);
      break;
    case kMinimiseButton:
      ShowWindow(window, SW_SHOWMINIMIZED);
      break;
    case kCloseButton:
      DestroyWindow(window);
      return 0;
    default:
      break;
  }
  return DefWindowProcW(window, WM_LBUTTONUP, wParam, lParam);
}

LRESULT OnSize(HelperState& state, HWND window, WPARAM wParam, LPARAM lParam) {
  if (state.mode != HelperMode::Recommend) return 0;
  SizeBrowser(state, window);
  return DefWindowProcW(window, WM_SIZE, wParam, lParam);
}

// The last message the window gets: whoever destroyed it, its owner holds it no more.
void OnNcDestroy(HelperState& state, HWND window) {
  SetWindowLongPtrW(window, GWLP_USERDATA, 0);
  state.mainWindow.release();
}

void OnPaint(const HelperState& state, HWND window) {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window, &paint);
  if (dc) PaintSkin(state, dc);
  EndPaint(window, &paint);
}

}  // namespace

void LoadSkin(HelperState& state) {
  for (int id : kSkinPictureIds) state.skinImages.push_back(LoadSkinImage(id));
}

void PaintSkin(const HelperState& state, HDC dc) {
  if (state.mode != HelperMode::Recommend) return;
  Gdiplus::GpGraphics* created = nullptr;
  if (gdip::GdipCreateFromHDC(dc, &created) != Gdiplus::Ok) return;
  const UniqueGdiplusGraphics graphics(created);
  if (!graphics) return;
  // The pictures are drawn at their natural size; no smoothing is wanted, and
  // Wine's default smoothing blends the frame's outer edge with what is behind it.
  gdip::GdipSetInterpolationMode(graphics.get(), Gdiplus::InterpolationModeNearestNeighbor);
  // The whole skin each time, straight to the device context.
  DrawSkinImage(graphics.get(), state, 0, 0, 0);
  for (int i = 0; i < static_cast<int>(kCaptionButtons.size()); ++i) {
    const CaptionButton& button = kCaptionButtons[i];
    DrawSkinImage(graphics.get(), state, SkinPictureIndex(i, state.hoverButton), button.pictureX, button.pictureY);
  }
}

HelperState* StateOf(HWND mainWindow) {
  return reinterpret_cast<HelperState*>(GetWindowLongPtrW(mainWindow, GWLP_USERDATA));
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  HelperState* state = StateOf(window);
  if (!state) return DefWindowProcW(window, message, wParam, lParam);

  switch (message) {
    case WM_DESTROY:
      state->exitReason = "window closed";
      PostQuitMessage(0);
      return 0;
    case WM_NCDESTROY:
      OnNcDestroy(*state, window);
      return 0;
    case WM_SIZE:
      return OnSize(*state, window, wParam, lParam);
    case WM_PAINT:
      OnPaint(*state, window);
      return 0;
    case WM_NCHITTEST:
      return OnNcHitTest(*state, window, wParam, lParam);
    case WM_NCLBUTTONDBLCLK:
      // A double click on the drag strip neither maximises nor restores.
      if (wParam == HTCAPTION) return 0;
      break;
    case WM_SYSCOMMAND:
      // The window has one size: a maximise request restores instead.
      if ((wParam & 0xFFF0) == SC_MAXIMIZE) wParam = SC_RESTORE;
      break;
    case WM_MOUSEMOVE:
      OnMouseMove(*state, window, lParam);
      break;
    case WM_LBUTTONUP:
      return OnLButtonUp(*state, window, wParam, lParam);
    default:
      break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace quillet
