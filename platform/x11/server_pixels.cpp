#include "server_pixels.h"

namespace x11 {

PixelLayout serverPixelLayout(const xcb_setup_t *setup, int depth, xcb_visualid_t visual)
{
    PixelLayout layout;
    layout.depth = depth;
    layout.lsbFirst = setup->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST;
    layout.bitsPerPixel = 0;
    for (xcb_format_iterator_t formats = xcb_setup_pixmap_formats_iterator(setup); formats.rem;
            xcb_format_next(&formats)) {
        if (formats.data->depth == depth) {
            layout.bitsPerPixel = formats.data->bits_per_pixel;
            layout.scanlinePad = formats.data->scanline_pad;
        }
    }
    layout.redMask = layout.greenMask = layout.blueMask = 0;
    for (xcb_screen_iterator_t screens = xcb_setup_roots_iterator(setup); screens.rem;
            xcb_screen_next(&screens)) {
        for (xcb_depth_iterator_t depths = xcb_screen_allowed_depths_iterator(screens.data);
                depths.rem; xcb_depth_next(&depths)) {
            for (xcb_visualtype_iterator_t visuals = xcb_depth_visuals_iterator(depths.data);
                    visuals.rem; xcb_visualtype_next(&visuals)) {
                if (visuals.data->visual_id == visual) {
                    layout.redMask = visuals.data->red_mask;
                    layout.greenMask = visuals.data->green_mask;
                    layout.blueMask = visuals.data->blue_mask;
                    return layout;
                }
            }
        }
    }
    return layout;
}

} // namespace x11
