// Geometry of the recommendation window: where the skin's pictures go, which
// client points belong to the caption buttons, and the rectangles given to the
// hosted browser. No Windows calls, so it is tested natively too.
#pragma once

#include <array>
#include <cstdint>

#include "helper/resource.h"

namespace quillet {

struct SkinRect {
  std::int32_t left, top, right, bottom;
};

constexpr int kWindowWidth = 600;
constexpr int kWindowHeight = 450;

// The code of a caption button is the resource id of its highlighted picture.
constexpr int kNoButton = 0;
constexpr int kRefreshButton = IDR_SKIN_REFRESH_LIT;
constexpr int kMinimiseButton = IDR_SKIN_MINIMISE_LIT;
constexpr int kCloseButton = IDR_SKIN_CLOSE_LIT;

// The drawn caption strip: client y 0 to 27 drags the window.
constexpr int kDragStripBottom = 27;

struct CaptionButton {
  int code;
  SkinRect hit;            // both edges included
  int pictureX, pictureY;  // where its pictures are drawn
};

// Refresh, minimise, close: at a pitch of 25 pixels with 24 x 20 pictures, so
// the rectangles are one pixel wider and taller than the pictures and touch.
constexpr std::array<CaptionButton, 3> kCaptionButtons{{
    {kRefreshButton, {521, 3, 545, 23}, 521, 3},
    {kMinimiseButton, {546, 3, 570, 23}, 546, 3},
    {kCloseButton, {571, 3, 595, 23}, 571, 3},
}};

// The first rectangle (in list order) holding the point gives its code; 0 for none.
int HitTestButton(int x, int y);

// Picture ids of the skin, in the order the window keeps them.
constexpr std::array<int, 7> kSkinPictureIds{IDR_SKIN_FRAME,    IDR_SKIN_REFRESH,      IDR_SKIN_REFRESH_LIT,
                                             IDR_SKIN_MINIMISE, IDR_SKIN_MINIMISE_LIT, IDR_SKIN_CLOSE,
                                             IDR_SKIN_CLOSE_LIT};

// Index in kSkinPictureIds of the picture to draw for caption button `index`
// (0 refresh, 1 minimise, 2 close) given the button under the pointer.
int SkinPictureIndex(int buttonIndex, int hoverButton);

// The frame picture's transparent body, where the browser's host window goes:
// x 2 to 597 and y 27 to 447, as left, top, right, bottom (right and bottom
// exclusive, as window rectangles are).
constexpr SkinRect kBodyRect{2, 27, 598, 448};

// Position and clip rectangle for the browser, from the current client rectangle.
SkinRect BrowserObjectRect(const SkinRect& client);

}  // namespace quillet
