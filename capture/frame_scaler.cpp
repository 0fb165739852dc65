#include "frame_scaler.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace capture {

namespace {

constexpr int BytesPerPixel = 4;

// Area-average taps for shrinking: output position o covers [o * S, (o + 1) * S) and source
// position i covers [i * D, (i + 1) * D) on a common grid of S * D steps.
void planArea(int sourceLength, int targetLength, std::vector<int> &first,
        std::vector<std::vector<int>> &weights)
{
    const std::int64_t s = sourceLength;
    const std::int64_t d = targetLength;
    for (std::int64_t o = 0; o < d; ++o) {
        const std::int64_t start = o * s;
        const std::int64_t end = (o + 1) * s;
        const int firstIndex = int(start / d);
        const int lastIndex = int((end - 1) / d);
        std::vector<int> w;
        int sum = 0;
        int largest = 0;
        for (int i = firstIndex; i <= lastIndex; ++i) {
            const std::int64_t overlap = std::min(end, (i + 1) * d) - std::max(start, i * d);
            const int weight = int((overlap * ScaleTaps::WeightOne + s / 2) / s);
            w.push_back(weight);
            sum += weight;
            if (weight > w[largest])
                largest = int(w.size()) - 1;
        }
        // Rounding may leave the weights a step off their total: the biggest one takes it.
        w[largest] += ScaleTaps::WeightOne - sum;
        first.push_back(firstIndex);
        weights.push_back(std::move(w));
    }
}

// Linear interpolation taps for enlarging, pixel centres aligned.
void planLinear(int sourceLength, int targetLength, std::vector<int> &first,
        std::vector<std::vector<int>> &weights)
{
    for (int o = 0; o < targetLength; ++o) {
        if (sourceLength == 1) {
            first.push_back(0);
            weights.push_back({ ScaleTaps::WeightOne });
            continue;
        }
        const double centre = (o + 0.5) * sourceLength / targetLength - 0.5;
        int index = int(centre >= 0 ? centre : 0);
        double fraction = centre - index;
        if (centre < 0)
            fraction = 0;
        if (index >= sourceLength - 1) {
            index = sourceLength - 2;
            fraction = 1;
        }
        const int upper = int(fraction * ScaleTaps::WeightOne + 0.5);
        first.push_back(index);
        weights.push_back({ ScaleTaps::WeightOne - upper, upper });
    }
}

// Fixed-point conventions of the passes below. The vertical pass gives 8.8 fixed point per
// channel (0 to 255 * 256). The horizontal pass multiplies by weight * 256 and keeps the high
// half (SSE2's unsigned multiply-high), so it stays in 16 bits. Colour conversion works on
// 8.7 values with 15-bit coefficients, the weights libjpeg uses, each triple summing to 32768
// so that white stays 255 and grey keeps chroma 128.
constexpr int LumaB = 3735, LumaG = 19235, LumaR = 9798;
constexpr int CbB = 16384, CbG = -10855, CbR = -5529;
constexpr int CrB = -2664, CrG = -13720, CrR = 16384;
constexpr int ColourShift = 22; // 7 fraction bits of the value, 15 of the coefficient
constexpr std::int32_t LumaRound = 1 << (ColourShift - 1);
constexpr std::int32_t ChromaOffset = (128 << ColourShift) + LumaRound;

std::uint16_t highWeight(std::uint16_t weight)
{
    return std::uint16_t(std::min(weight * 256, 65535));
}

std::uint16_t average(std::uint16_t a, std::uint16_t b)
{
    return std::uint16_t((a + b + 1) >> 1);
}

std::uint8_t clampByte(std::int32_t value)
{
    return std::uint8_t(std::clamp(value, 0, 255));
}

std::uint8_t lumaOf(const std::uint16_t *pixel)
{
    return clampByte(((pixel[0] >> 1) * LumaB + (pixel[1] >> 1) * LumaG + (pixel[2] >> 1) * LumaR
                             + LumaRound)
            >> ColourShift);
}

// Chroma of the 2 x 2 block whose top-left pixel is at column x of the two rows.
void chromaOf(const std::uint16_t *top, const std::uint16_t *bottom, int x, std::uint8_t &u,
        std::uint8_t &v)
{
    std::int32_t channel[3];
    for (int c = 0; c < 3; ++c) {
        const std::uint16_t left = average(top[4 * x + c], bottom[4 * x + c]);
        const std::uint16_t right = average(top[4 * x + 4 + c], bottom[4 * x + 4 + c]);
        channel[c] = average(left, right) >> 1;
    }
    u = clampByte(
            (channel[0] * CbB + channel[1] * CbG + channel[2] * CbR + ChromaOffset) >> ColourShift);
    v = clampByte(
            (channel[0] * CrB + channel[1] * CrG + channel[2] * CrR + ChromaOffset) >> ColourShift);
}

#if defined(__SSE2__)
// Adds neighbouring 32-bit lanes: [a b c d], [e f g h] give [a+b c+d e+f g+h].
inline __m128i addPairs(__m128i first, __m128i second)
{
    const __m128 a = _mm_castsi128_ps(first);
    const __m128 b = _mm_castsi128_ps(second);
    const __m128i even = _mm_castps_si128(_mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)));
    const __m128i odd = _mm_castps_si128(_mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)));
    return _mm_add_epi32(even, odd);
}
#endif

} // namespace

// Scratch rows of one thread: one source row after the vertical pass, and two scaled rows of
// interleaved 8.8 pixels, padded to whole groups of eight pixels.
struct SmoothScaler::Scratch
{
    std::vector<std::uint16_t> vertical;
    std::vector<std::uint16_t> rows[2];
};

void SmoothScaler::horizontalPass(const std::uint16_t *source, std::uint16_t *out) const
{
    const int pairs = (m_target.width() + 1) / 2;
    const int taps = m_pairTaps;
    const std::int32_t *offsets = m_pairOffsets.data();
    const std::uint16_t *weights = m_pairWeights.data();
#if defined(__SSE2__)
    for (int p = 0; p < pairs; ++p) {
        __m128i acc = _mm_setzero_si128();
        for (int t = 0; t < taps; ++t) {
            const __m128i left =
                    _mm_loadl_epi64(reinterpret_cast<const __m128i *>(source + offsets[2 * t]));
            const __m128i right =
                    _mm_loadl_epi64(reinterpret_cast<const __m128i *>(source + offsets[2 * t + 1]));
            const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i *>(weights + 8 * t));
            acc = _mm_add_epi16(acc, _mm_mulhi_epu16(_mm_unpacklo_epi64(left, right), w));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 8 * p), acc);
        offsets += 2 * taps;
        weights += 8 * taps;
    }
#else
    for (int p = 0; p < pairs; ++p) {
        for (int lane = 0; lane < 8; ++lane) {
            std::uint32_t acc = 0;
            for (int t = 0; t < taps; ++t) {
                const std::uint16_t value = source[offsets[2 * t + lane / 4] + lane % 4];
                acc += (std::uint32_t(value) * weights[8 * t + lane]) >> 16;
            }
            out[8 * p + lane] = std::uint16_t(acc);
        }
        offsets += 2 * taps;
        weights += 8 * taps;
    }
#endif
    // Pixels past the last one repeat it, so edge blocks average the edge pixel with itself.
    const int width = m_target.width();
    const int padded = m_paddedWidth;
    for (int x = width; x < padded; ++x)
        std::memcpy(out + 4 * x, out + 4 * (width - 1), 4 * sizeof(std::uint16_t));
}

void SmoothScaler::colourRows(const std::uint16_t *top, const std::uint16_t *bottom,
        std::uint8_t *yTop, std::uint8_t *yBottom, std::uint8_t *u, std::uint8_t *v) const
{
    const int width = m_target.width();
    const int lumaWidth = (width + 1) & ~1;
    int x = 0;
#if defined(__SSE2__)
    const __m128i lumaWeights = _mm_setr_epi16(LumaB, LumaG, LumaR, 0, LumaB, LumaG, LumaR, 0);
    const __m128i cbWeights = _mm_setr_epi16(CbB, CbG, CbR, 0, CbB, CbG, CbR, 0);
    const __m128i crWeights = _mm_setr_epi16(CrB, CrG, CrR, 0, CrB, CrG, CrR, 0);
    const __m128i lumaRound = _mm_set1_epi32(LumaRound);
    const __m128i chromaOffset = _mm_set1_epi32(ChromaOffset);
    const auto load = [](const std::uint16_t *row, int pixel) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i *>(row + 4 * pixel));
    };
    // Eight lumas of one row from its four pixel pairs.
    const auto luma8 = [&](const __m128i(&pairs)[4], std::uint8_t *out) {
        __m128i sums[4];
        for (int i = 0; i < 4; ++i)
            sums[i] = _mm_madd_epi16(_mm_srli_epi16(pairs[i], 1), lumaWeights);
        __m128i low = _mm_add_epi32(addPairs(sums[0], sums[1]), lumaRound);
        __m128i high = _mm_add_epi32(addPairs(sums[2], sums[3]), lumaRound);
        low = _mm_srai_epi32(low, ColourShift);
        high = _mm_srai_epi32(high, ColourShift);
        const __m128i words = _mm_packs_epi32(low, high);
        _mm_storel_epi64(reinterpret_cast<__m128i *>(out), _mm_packus_epi16(words, words));
    };
    const auto chroma4 = [&](const __m128i(&blocks)[2], __m128i weights, std::uint8_t *out) {
        const __m128i sums0 = _mm_madd_epi16(blocks[0], weights);
        const __m128i sums1 = _mm_madd_epi16(blocks[1], weights);
        __m128i values = _mm_add_epi32(addPairs(sums0, sums1), chromaOffset);
        values = _mm_srai_epi32(values, ColourShift);
        const __m128i words = _mm_packs_epi32(values, values);
        const int bytes = _mm_cvtsi128_si32(_mm_packus_epi16(words, words));
        std::memcpy(out, &bytes, 4);
    };
    for (; x + 8 <= width; x += 8) {
        __m128i upper[4], lower[4], averaged[4];
        for (int i = 0; i < 4; ++i) {
            upper[i] = load(top, x + 2 * i);
            lower[i] = load(bottom, x + 2 * i);
            // Average down, then across: lanes 0-3 hold the block's 8.8 channels.
            const __m128i vertical = _mm_avg_epu16(upper[i], lower[i]);
            averaged[i] = _mm_srli_epi16(_mm_avg_epu16(vertical, _mm_srli_si128(vertical, 8)), 1);
        }
        luma8(upper, yTop + x);
        luma8(lower, yBottom + x);
        const __m128i blocks[2] = { _mm_unpacklo_epi64(averaged[0], averaged[1]),
            _mm_unpacklo_epi64(averaged[2], averaged[3]) };
        chroma4(blocks, cbWeights, u + x / 2);
        chroma4(blocks, crWeights, v + x / 2);
    }
#endif
    // The rest, and the padding column of an odd width.
    for (; x < lumaWidth; ++x) {
        yTop[x] = lumaOf(top + 4 * x);
        yBottom[x] = lumaOf(bottom + 4 * x);
        if (x % 2 == 0)
            chromaOf(top, bottom, x, u[x / 2], v[x / 2]);
    }
    // Padding to whole blocks: the last sample repeated, as the encoder would repeat it.
    std::memset(yTop + lumaWidth, yTop[lumaWidth - 1], std::size_t(m_lumaStride - lumaWidth));
    std::memset(yBottom + lumaWidth, yBottom[lumaWidth - 1], std::size_t(m_lumaStride - lumaWidth));
    const int chromaWidth = lumaWidth / 2;
    std::memset(u + chromaWidth, u[chromaWidth - 1], std::size_t(m_chromaStride - chromaWidth));
    std::memset(v + chromaWidth, v[chromaWidth - 1], std::size_t(m_chromaStride - chromaWidth));
}

void I420Frame::resize(QSize size)
{
    width = std::max(size.width(), 0);
    height = std::max(size.height(), 0);
    yStride = (width + 15) / 16 * 16;
    uvStride = (chromaWidth() + 7) / 8 * 8;
    y.resize(std::size_t(yStride) * 2 * chromaHeight());
    u.resize(std::size_t(uvStride) * chromaHeight());
    v.resize(std::size_t(uvStride) * chromaHeight());
}

void placeOnBlack(const I420Frame &picture, QPoint at, I420Frame &frame)
{
    // Black in JPEG's full-range YCbCr.
    std::fill(frame.y.begin(), frame.y.end(), std::uint8_t(0));
    std::fill(frame.u.begin(), frame.u.end(), std::uint8_t(128));
    std::fill(frame.v.begin(), frame.v.end(), std::uint8_t(128));
    const int lumaRows = std::min(picture.height, frame.height - at.y());
    const int lumaWidth = std::min(picture.width, frame.width - at.x());
    for (int row = 0; row < lumaRows; ++row)
        std::memcpy(frame.y.data() + std::size_t(at.y() + row) * frame.yStride + at.x(),
                picture.y.data() + std::size_t(row) * picture.yStride, std::size_t(lumaWidth));
    const int chromaRows = std::min(picture.chromaHeight(), frame.chromaHeight() - at.y() / 2);
    const int chromaWidth = std::min(picture.chromaWidth(), frame.chromaWidth() - at.x() / 2);
    for (int row = 0; row < chromaRows; ++row) {
        const std::size_t to = std::size_t(at.y() / 2 + row) * frame.uvStride + at.x() / 2;
        const std::size_t from = std::size_t(row) * picture.uvStride;
        std::memcpy(frame.u.data() + to, picture.u.data() + from, std::size_t(chromaWidth));
        std::memcpy(frame.v.data() + to, picture.v.data() + from, std::size_t(chromaWidth));
    }
    // The padding: each row's last sample repeated, and the last row into the padding row.
    const int lumaPlaneRows = 2 * frame.chromaHeight();
    for (int row = 0; row < lumaPlaneRows; ++row) {
        std::uint8_t *line = frame.y.data() + std::size_t(row) * frame.yStride;
        if (row >= frame.height)
            std::memcpy(line, line - frame.yStride, std::size_t(frame.yStride));
        else
            std::memset(line + frame.width, line[frame.width - 1],
                    std::size_t(frame.yStride - frame.width));
    }
    for (std::vector<std::uint8_t> *plane : { &frame.u, &frame.v }) {
        for (int row = 0; row < frame.chromaHeight(); ++row) {
            std::uint8_t *line = plane->data() + std::size_t(row) * frame.uvStride;
            std::memset(line + frame.chromaWidth(), line[frame.chromaWidth() - 1],
                    std::size_t(frame.uvStride - frame.chromaWidth()));
        }
    }
}

ScaleTaps ScaleTaps::plan(int sourceLength, int targetLength)
{
    ScaleTaps taps;
    if (sourceLength <= 0 || targetLength <= 0)
        return taps;
    std::vector<int> first;
    std::vector<std::vector<int>> weights;
    if (targetLength <= sourceLength)
        planArea(sourceLength, targetLength, first, weights);
    else
        planLinear(sourceLength, targetLength, first, weights);

    for (const auto &w : weights)
        taps.tapCount = std::max(taps.tapCount, int(w.size()));
    taps.tapCount = std::min(taps.tapCount, sourceLength);
    // Every output position gets the same number of taps; short ones are padded with zero
    // weights, moved left where the padding would reach past the last source position.
    for (int o = 0; o < targetLength; ++o) {
        std::vector<int> w = weights[std::size_t(o)];
        int start = first[std::size_t(o)];
        w.resize(std::size_t(taps.tapCount), 0);
        while (start + taps.tapCount > sourceLength) {
            --start;
            std::rotate(w.rbegin(), w.rbegin() + 1, w.rend());
        }
        taps.first.push_back(start);
        for (int weight : w)
            taps.weights.push_back(std::uint16_t(weight));
    }
    return taps;
}

SmoothScaler::SmoothScaler(QSize source, QSize target) : m_source(source), m_target(target)
{
    if (source.isEmpty() || target.isEmpty()) {
        m_target = QSize();
        return;
    }
    m_horizontal = ScaleTaps::plan(source.width(), target.width());
    m_vertical = ScaleTaps::plan(source.height(), target.height());

    // The horizontal pass makes two output pixels at a time: per pair and tap the two source
    // positions (as offsets into the row of 16-bit channels) and eight multipliers.
    const int width = target.width();
    const int pairs = (width + 1) / 2;
    m_pairTaps = m_horizontal.tapCount;
    m_paddedWidth = (width + 7) / 8 * 8;
    I420Frame layout;
    layout.resize(target);
    m_lumaStride = layout.yStride;
    m_chromaStride = layout.uvStride;
    m_pairOffsets.reserve(std::size_t(pairs) * m_pairTaps * 2);
    m_pairWeights.reserve(std::size_t(pairs) * m_pairTaps * 8);
    for (int p = 0; p < pairs; ++p) {
        const int left = 2 * p;
        const int right = std::min(left + 1, width - 1);
        for (int t = 0; t < m_pairTaps; ++t) {
            m_pairOffsets.push_back((m_horizontal.first[std::size_t(left)] + t) * BytesPerPixel);
            m_pairOffsets.push_back((m_horizontal.first[std::size_t(right)] + t) * BytesPerPixel);
            const std::uint16_t wl =
                    highWeight(m_horizontal.weights[std::size_t(left) * m_pairTaps + t]);
            const std::uint16_t wr =
                    highWeight(m_horizontal.weights[std::size_t(right) * m_pairTaps + t]);
            for (int lane = 0; lane < 8; ++lane)
                m_pairWeights.push_back(lane < 4 ? wl : wr);
        }
    }
}

int SmoothScaler::sourceRowsNeeded(int endRow) const
{
    if (isNull() || endRow <= 0)
        return 0;
    const int last = std::min(endRow, m_target.height()) - 1;
    return std::min(m_vertical.first[std::size_t(last)] + m_vertical.tapCount, m_source.height());
}

std::pair<int, int> SmoothScaler::sourceRowsOf(int firstRow, int endRow) const
{
    firstRow = std::max(firstRow, 0);
    endRow = std::min(endRow, m_target.height());
    if (isNull() || endRow <= firstRow)
        return { 0, 0 };
    return { m_vertical.first[std::size_t(firstRow)], sourceRowsNeeded(endRow) };
}

std::pair<int, int> SmoothScaler::rowsMadeFrom(int sourceTop, int sourceBottom) const
{
    const int height = m_target.height();
    if (isNull() || sourceBottom <= sourceTop)
        return { 0, 0 };
    // Every tap counts, weighted or not: a row is redone rather than missed. The first
    // positions only grow from row to row.
    int first = 0;
    while (first < height
            && m_vertical.first[std::size_t(first)] + m_vertical.tapCount <= sourceTop)
        ++first;
    int end = first;
    while (end < height && m_vertical.first[std::size_t(end)] < sourceBottom)
        ++end;
    if (end <= first)
        return { 0, 0 };
    return { first & ~1, std::min((end + 1) & ~1, height) };
}

void SmoothScaler::scale(const PixelView &source, I420Frame &frame) const
{
    scaleRows(source, frame, 0, m_target.height());
}

void SmoothScaler::verticalPass(const PixelView &source, int outRow, std::uint16_t *out) const
{
    const int bytes = m_source.width() * BytesPerPixel;
    const int tapCount = m_vertical.tapCount;
    const std::int32_t firstRow = m_vertical.first[std::size_t(outRow)];
    const std::uint16_t *weights = m_vertical.weights.data() + std::size_t(outRow) * tapCount;
    // The rows that count, gathered so that the usual two or three go in one sweep.
    const std::uint8_t *rows[8];
    std::uint16_t w[8];
    int count = 0;
    for (int t = 0; t < tapCount; ++t) {
        if (weights[t] == 0)
            continue;
        if (count == 8) {
            // More than eight rows per output row (a picture shrunk past eight times): fold
            // what is gathered so far into out and go on from there.
            break;
        }
        rows[count] = source.data + std::size_t(firstRow + t) * source.strideBytes;
        w[count++] = weights[t];
    }
    int used = count;
    switch (count) {
    case 1:
        for (int i = 0; i < bytes; ++i)
            out[i] = std::uint16_t(rows[0][i] * w[0]);
        break;
    case 2:
        for (int i = 0; i < bytes; ++i)
            out[i] = std::uint16_t(rows[0][i] * w[0] + rows[1][i] * w[1]);
        break;
    case 3:
        for (int i = 0; i < bytes; ++i)
            out[i] = std::uint16_t(rows[0][i] * w[0] + rows[1][i] * w[1] + rows[2][i] * w[2]);
        break;
    default:
        for (int i = 0; i < bytes; ++i)
            out[i] = std::uint16_t(rows[0][i] * w[0]);
        for (int r = 1; r < count; ++r)
            for (int i = 0; i < bytes; ++i)
                out[i] = std::uint16_t(out[i] + rows[r][i] * w[r]);
        break;
    }
    // Rows beyond the eighth, when there are any.
    for (int t = 0, seen = 0; t < tapCount; ++t) {
        if (weights[t] == 0 || seen++ < used)
            continue;
        const std::uint8_t *row = source.data + std::size_t(firstRow + t) * source.strideBytes;
        for (int i = 0; i < bytes; ++i)
            out[i] = std::uint16_t(out[i] + row[i] * weights[t]);
    }
}

void SmoothScaler::scaleRows(
        const PixelView &source, I420Frame &frame, int firstRow, int endRow) const
{
    if (isNull() || source.size() != m_source || frame.size() != m_target)
        return;
    thread_local Scratch scratch;
    // Room for the padding pixels and for the last group's full-width loads.
    const std::size_t rowValues = std::size_t(m_paddedWidth + 8) * BytesPerPixel;
    scratch.vertical.resize(std::size_t(m_source.width()) * BytesPerPixel);
    scratch.rows[0].resize(rowValues);
    scratch.rows[1].resize(rowValues);

    const int height = m_target.height();
    endRow = std::min(endRow, height);
    for (int row = std::max(firstRow, 0) & ~1; row < endRow; row += 2) {
        const bool single = row + 1 >= height;
        verticalPass(source, row, scratch.vertical.data());
        horizontalPass(scratch.vertical.data(), scratch.rows[0].data());
        if (!single) {
            verticalPass(source, row + 1, scratch.vertical.data());
            horizontalPass(scratch.vertical.data(), scratch.rows[1].data());
        }
        const std::uint16_t *bottom = single ? scratch.rows[0].data() : scratch.rows[1].data();
        const std::size_t chromaOffset = std::size_t(row / 2) * frame.uvStride;
        // A lone last row is repeated into the padding row below it.
        colourRows(scratch.rows[0].data(), bottom,
                frame.y.data() + std::size_t(row) * frame.yStride,
                frame.y.data() + std::size_t(row + 1) * frame.yStride,
                frame.u.data() + chromaOffset, frame.v.data() + chromaOffset);
    }
}

} // namespace capture
