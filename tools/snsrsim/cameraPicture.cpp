#include "snsrsim/cameraPicture.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>
#include <zlib.h>

#include "common/littleEndian.h"
#include "common/textFormat.h"

namespace snsrsim {

namespace {

// 5 x 7 glyphs, one byte per row, bit 4 the leftmost pixel.
struct glyph {
    char character;
    std::array<uint8_t, 7> rows;
};
constexpr std::array<glyph, 14> font = {{
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}},
    {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}},
    {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}},
    {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}},
    {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}},
    {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {':', {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00}},
    {'-', {0x00, 0x00, 0x00, 0x1F, 0x00, 0x00, 0x00}},
    {'#', {0x0A, 0x0A, 0x1F, 0x0A, 0x1F, 0x0A, 0x0A}},
    {' ', {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
}};

class canvas {
public:
    canvas(int32_t width, int32_t height)
        : width_(width), height_(height), pixels_(static_cast<size_t>(width) * static_cast<size_t>(height) * 3, 0) {}

    void set(int32_t x, int32_t y, uint8_t r, uint8_t g, uint8_t b) {
        if (x < 0 || y < 0 || x >= width_ || y >= height_) return;
        uint8_t* p = pixels_.data() + (static_cast<size_t>(y) * static_cast<size_t>(width_) + static_cast<size_t>(x)) * 3;
        p[0] = r;
        p[1] = g;
        p[2] = b;
    }

    void text(const std::string& s, int32_t x, int32_t y, int32_t scale) {
        for (char c : s) {
            const auto found = std::find_if(font.begin(), font.end(), [c](const glyph& g) { return g.character == c; });
            if (found != font.end()) {
                for (int32_t row = 0; row < 7; ++row) {
                    for (int32_t col = 0; col < 5; ++col) {
                        if ((found->rows[static_cast<size_t>(row)] >> (4 - col)) & 1) {
                            for (int32_t dy = 0; dy < scale; ++dy)
                                for (int32_t dx = 0; dx < scale; ++dx)
                                    set(x + col * scale + dx, y + row * scale + dy, 255, 255, 255);
                        }
                    }
                }
            }
            x += 6 * scale;
        }
    }

    int32_t width() const { return width_; }
    int32_t height() const { return height_; }
    const uint8_t* row(int32_t y) const { return pixels_.data() + static_cast<size_t>(y) * static_cast<size_t>(width_) * 3; }

private:
    int32_t width_;
    int32_t height_;
    std::vector<uint8_t> pixels_;
};

// libjpeg destination that appends to a vector.
struct vectorDestination {
    jpeg_destination_mgr manager;
    std::vector<uint8_t>* out;
    std::array<JOCTET, 4096> buffer;
};

void initDestination(j_compress_ptr cinfo) {
    auto* dest = reinterpret_cast<vectorDestination*>(cinfo->dest);
    dest->manager.next_output_byte = dest->buffer.data();
    dest->manager.free_in_buffer = dest->buffer.size();
}

boolean emptyOutputBuffer(j_compress_ptr cinfo) {
    auto* dest = reinterpret_cast<vectorDestination*>(cinfo->dest);
    dest->out->insert(dest->out->end(), dest->buffer.begin(), dest->buffer.end());
    dest->manager.next_output_byte = dest->buffer.data();
    dest->manager.free_in_buffer = dest->buffer.size();
    return TRUE;
}

void termDestination(j_compress_ptr cinfo) {
    auto* dest = reinterpret_cast<vectorDestination*>(cinfo->dest);
    const size_t used = dest->buffer.size() - dest->manager.free_in_buffer;
    dest->out->insert(dest->out->end(), dest->buffer.begin(), dest->buffer.begin() + static_cast<std::ptrdiff_t>(used));
}

std::vector<uint8_t> encode(const canvas& picture, int quality) {
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr errors{};
    cinfo.err = jpeg_std_error(&errors);
    jpeg_create_compress(&cinfo);

    std::vector<uint8_t> out;
    vectorDestination dest{};
    dest.out = &out;
    dest.manager.init_destination = initDestination;
    dest.manager.empty_output_buffer = emptyOutputBuffer;
    dest.manager.term_destination = termDestination;
    cinfo.dest = &dest.manager;

    cinfo.image_width = static_cast<JDIMENSION>(picture.width());
    cinfo.image_height = static_cast<JDIMENSION>(picture.height());
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(picture.row(static_cast<int32_t>(cinfo.next_scanline)));
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return out;
}

// True when the camera stream's markers (image start 0xFF 0xD8, check segment
// 0xFF 0xEF) occur only where they belong: the image start at the very beginning.
bool markersOnlyAtStart(const std::vector<uint8_t>& jpeg) {
    for (size_t i = 1; i + 1 < jpeg.size(); ++i) {
        if (jpeg[i] == 0xFF && (jpeg[i + 1] == 0xD8 || jpeg[i + 1] == 0xEF)) return false;
    }
    return true;
}

}  // namespace

std::vector<uint8_t> cameraPicture::render(int32_t width, int32_t height, int64_t utcMs, int32_t number,
                                           const wearerState& state) {
    canvas picture(width, height);
    // Brightness follows the light on a logarithmic scale: about 0.35 indoors, 1 in sunshine.
    const double brightness = std::clamp(std::log10(std::max(state.lightLux, 1.0)) / 4.2, 0.1, 1.0);
    const int32_t horizon = height * 11 / 20;
    const double landmarkX = std::fmod(360.0 - state.headingDeg + 90.0, 360.0) / 360.0 * width * 2.0 - width / 2.0;
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            double r = 0.0;
            double g = 0.0;
            double b = 0.0;
            if (y < horizon) {
                const double up = 1.0 - static_cast<double>(y) / horizon;
                if (state.outdoors) {
                    r = 90 + 60 * (1 - up);
                    g = 140 + 50 * (1 - up);
                    b = 230;
                } else {
                    r = 200 - 30 * up;  // a wall
                    g = 190 - 30 * up;
                    b = 170 - 20 * up;
                }
            } else {
                const double down = static_cast<double>(y - horizon) / (height - horizon);
                if (state.outdoors) {
                    r = 70 + 40 * down;
                    g = 120 + 40 * down;
                    b = 50;
                } else {
                    r = 120 + 60 * down;  // a wooden floor
                    g = 85 + 40 * down;
                    b = 50 + 20 * down;
                }
            }
            // A tall landmark that drifts across the view as the wearer turns.
            if (std::fabs(x - landmarkX) < width / 16.0 && y > horizon / 3) {
                r = 150;
                g = 60;
                b = 50;
            }
            picture.set(x, y, static_cast<uint8_t>(std::clamp(r * brightness, 0.0, 255.0)),
                        static_cast<uint8_t>(std::clamp(g * brightness, 0.0, 255.0)),
                        static_cast<uint8_t>(std::clamp(b * brightness, 0.0, 255.0)));
        }
    }

    const auto utc = std::chrono::sys_time<std::chrono::milliseconds>(std::chrono::milliseconds(utcMs));
    const auto days = std::chrono::floor<std::chrono::days>(utc);
    const std::chrono::year_month_day date(days);
    const std::chrono::hh_mm_ss clock(std::chrono::floor<std::chrono::seconds>(utc - days));
    const std::string timeText = sensconv::formatText("%02d:%02d:%02d", static_cast<int>(clock.hours().count()),
                                                      static_cast<int>(clock.minutes().count()),
                                                      static_cast<int>(clock.seconds().count()));
    const std::string dateText =
        sensconv::formatText("%04d-%02u-%02u", static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                             static_cast<unsigned>(date.day()));
    const std::string numberText = sensconv::formatText("#%d", number);
    const int32_t big = std::max(1, (width - 8) / (6 * 8));
    const int32_t small = std::max(1, big / 2);
    // A dark band behind the time keeps it readable in sunshine.
    for (int32_t y = 2; y < 6 + 7 * big + 2; ++y)
        for (int32_t x = 0; x < width; ++x) picture.set(x, y, 20, 20, 30);
    picture.text(timeText, 4, 4, big);
    picture.text(dateText, 4, height - 7 * small - 3, small);
    picture.text(numberText, width - 6 * small * static_cast<int32_t>(numberText.size()) - 2, height - 7 * small - 3,
                 small);

    for (int quality = 80; quality > 50; quality -= 3) {
        std::vector<uint8_t> jpeg = encode(picture, quality);
        if (markersOnlyAtStart(jpeg)) return jpeg;
    }
    std::fprintf(stderr, "snsrsim: could not encode a picture without stray markers\n");
    std::exit(1);
}

void cameraPicture::appendCheckSegment(std::vector<uint8_t>& jpeg, bool spoil) {
    // The two bytes after the marker are free; pick them so that no later byte of the
    // segment is 0xFF.
    for (uint32_t tag = 0x0006;; ++tag) {
        const uint8_t first = static_cast<uint8_t>(tag >> 8);
        const uint8_t second = static_cast<uint8_t>(tag);
        if (first == 0xFF || second == 0xFF) continue;
        std::vector<uint8_t> segment = {0xFF, 0xEF, first, second};
        uLong crc = crc32(0L, Z_NULL, 0);
        crc = crc32(crc, jpeg.data(), static_cast<uInt>(jpeg.size()));
        crc = crc32(crc, segment.data(), static_cast<uInt>(segment.size()));
        uint8_t raw[4];
        sensconv::writeLE32(raw, static_cast<uint32_t>(crc));
        if (spoil) raw[0] = static_cast<uint8_t>(raw[0] == 0x5A ? 0xA5 : 0x5A);
        if (std::find(raw, raw + 4, 0xFF) != raw + 4) continue;
        jpeg.insert(jpeg.end(), segment.begin(), segment.end());
        jpeg.insert(jpeg.end(), raw, raw + 4);
        return;
    }
}

}  // namespace snsrsim
