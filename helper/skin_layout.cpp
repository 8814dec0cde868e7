#include "helper/skin_layout.h"

namespace quillet {

int HitTestButton(int x, int y) {
  for (const CaptionButton& button : kCaptionButtons) {
    const SkinRect& r = button.hit;
    if (r.left <= x && x <= r.right && r.top <= y && y <= r.bottom) return button.code;
  }
  return kNoButton;
}

int SkinPictureIndex(int buttonIndex, int hoverButton) {
  const int normal = 1 + 2 * buttonIndex;
  return hoverButton == kCaptionButtons[buttonIndex].code ? normal + 1 : normal;
}

SkinRect BrowserObjectRect(const SkinRect& client) {
  // Larger than the host window on purpose: the host clips the browser's
  // right and bottom edges.
  return {client.left, client.top, client.right + 20, client.bottom + 70};
}

}  // namespace quillet
