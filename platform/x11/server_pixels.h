#ifndef TANDEO_PLATFORM_X11_SERVER_PIXELS_H
#define TANDEO_PLATFORM_X11_SERVER_PIXELS_H

// How an X server lays out the pixels of one depth and visual, as its connection set-up says.

#include "zpixmap_image.h"

#include <xcb/xcb.h>

namespace x11 {

// The image byte order; the bits a pixel and the row padding of the depth's format
// (bitsPerPixel 0 when the set-up has no format of that depth); the visual's channel masks
// (all 0 when no screen has the visual).
PixelLayout serverPixelLayout(const xcb_setup_t *setup, int depth, xcb_visualid_t visual);

} // namespace x11

#endif // TANDEO_PLATFORM_X11_SERVER_PIXELS_H
