#ifndef TANDEO_CAPTURE_FRAME_SCALER_H
#define TANDEO_CAPTURE_FRAME_SCALER_H

// Smooth scaling of a 32-bit desktop picture straight into the three planes a 4:2:0 JPEG is
// made of, so the encoder needs no colour conversion and no full-frame copy is made on the way.
// Shrinking averages the covered source area (each source pixel weighted by how much of it an
// output pixel covers); enlarging interpolates between the two nearest pixels in each
// direction. Both give what Qt's smooth transformation gives, within rounding.

#include <QPoint>
#include <QSize>

#include <cstdint>
#include <utility>
#include <vector>

namespace capture {

// A picture of 32-bit pixels laid out as Qt's Format_RGB32 and the X server's 24-bit depth
// ZPixmap: bytes blue, green, red, unused. Borrowed, never owned.
struct PixelView
{
    const std::uint8_t *data = nullptr;
    int width = 0;
    int height = 0;
    int strideBytes = 0;

    QSize size() const { return QSize(width, height); }
};

// A picture as JPEG's YCbCr (full range, ITU-R BT.601 weights) with both chroma planes at
// half width and half height, rounded up. The luma plane has an even number of rows, the last
// one repeated, and every row of every plane is padded to whole 8 x 8 blocks of the encoder
// (luma to a multiple of 16 columns, chroma of 8) by repeating its last sample, so the encoder
// can read whole blocks straight from the planes.
struct I420Frame
{
    int width = 0;
    int height = 0;
    int yStride = 0;
    int uvStride = 0;
    std::vector<std::uint8_t> y;
    std::vector<std::uint8_t> u;
    std::vector<std::uint8_t> v;

    // Sizes the planes for a picture; keeps the buffers when the size is unchanged.
    void resize(QSize size);
    QSize size() const { return QSize(width, height); }
    int chromaWidth() const { return (width + 1) / 2; }
    int chromaHeight() const { return (height + 1) / 2; }
};

// Fills frame (already sized) with black and puts picture into it with its top left corner at
// `at` (even coordinates, the picture inside the frame), padding the frame's rows as above.
void placeOnBlack(const I420Frame &picture, QPoint at, I420Frame &frame);

// Filter taps of one direction: for each output position the first source position and a
// fixed number of weights (summing to WeightOne) for it and the positions after it.
struct ScaleTaps
{
    int tapCount = 0;
    std::vector<std::int32_t> first;
    std::vector<std::uint16_t> weights; // tapCount per output position

    static constexpr int WeightBits = 8;
    static constexpr int WeightOne = 1 << WeightBits;

    // Taps for scaling sourceLength positions onto targetLength positions.
    static ScaleTaps plan(int sourceLength, int targetLength);
};

// One planned scaling from a source size to a target size. scaleRows() may run on several
// threads at once for disjoint row ranges.
class SmoothScaler
{
public:
    SmoothScaler() = default;
    SmoothScaler(QSize source, QSize target);

    QSize source() const { return m_source; }
    QSize target() const { return m_target; }
    bool isNull() const { return m_target.isEmpty(); }

    // Writes output rows [firstRow, endRow) of frame (already sized to target()) from a source
    // picture of source() size. firstRow must be even; endRow even or the target height.
    void scaleRows(const PixelView &source, I420Frame &frame, int firstRow, int endRow) const;

    // The whole picture on the calling thread.
    void scale(const PixelView &source, I420Frame &frame) const;

    // How many source rows from the top output rows [0, endRow) are made of.
    int sourceRowsNeeded(int endRow) const;
    // The source rows output rows [firstRow, endRow) are made of: [first, second).
    std::pair<int, int> sourceRowsOf(int firstRow, int endRow) const;
    // The output rows, in whole pairs as scaleRows() takes them, that source rows
    // [sourceTop, sourceBottom) take part in: [first, second), empty when none.
    std::pair<int, int> rowsMadeFrom(int sourceTop, int sourceBottom) const;

private:
    struct Scratch;
    void verticalPass(const PixelView &source, int outRow, std::uint16_t *out) const;
    void horizontalPass(const std::uint16_t *source, std::uint16_t *out) const;
    // Lumas of both rows (with the padding column) and the chroma of their blocks.
    void colourRows(const std::uint16_t *top, const std::uint16_t *bottom, std::uint8_t *yTop,
            std::uint8_t *yBottom, std::uint8_t *u, std::uint8_t *v) const;

    QSize m_source;
    QSize m_target;
    ScaleTaps m_horizontal;
    ScaleTaps m_vertical;
    int m_pairTaps = 0;
    int m_paddedWidth = 0;
    int m_lumaStride = 0;
    int m_chromaStride = 0;
    std::vector<std::int32_t> m_pairOffsets;
    std::vector<std::uint16_t> m_pairWeights;
};

} // namespace capture

#endif // TANDEO_CAPTURE_FRAME_SCALER_H
