// The sensor's frame and how one screen shows it.
//
// A frame is SENSOR_FRAME_LEN bytes.  Offsets count from its first byte;
// multi-byte readings are unsigned and little-endian on the wire, whatever
// the host's byte order.
//
//   offset size field    shown as
//      0    4   tag      its four characters, then a newline
//      5    1   tem      "tem:%d"
//      7    1   hum      "hum:%d"
//      8    1   ep_no    "ep_no:%d"
//     12    2   hongwai  "hongwai:%d"
//     14    2   lux      "lux:%d"
//     18    2   gas      "gas:%d"
//
// Bytes 4, 6, 9-11, 16-17 and 20-23 are the sensor's own and never shown.
//
//   frame_reading(frame, field)  the value of one reading
//   escape_tag_byte(byte, out)   one tag byte as the screen shows it
//   print_frame(out, frame, n)   the whole screen of frame number n
//
// The frames kept for the screen, oldest first: the few newest whole frames
// taken off the line and not shown yet, each with the time it came.
//   keep_frame(kept, frame, came)   keep one more, dropping the oldest when full
//   drop_stale(kept, cutoff)     drop those that came at or before cutoff, but the newest
//   oldest_frame(kept)           the next to show; kept must hold one
//   drop_oldest(kept)            done with it
#pragma once

#include <array>
#include <cstddef>
#include <cstdio>
#include <span>

inline constexpr std::size_t SENSOR_FRAME_LEN = 24;
inline constexpr std::size_t TAG_LEN = 4;

struct frame_field {
    const char *label;
    std::size_t offset;
    std::size_t size;  // 1 or 2 bytes
};

inline constexpr std::array<frame_field, 6> FRAME_READINGS{{
    {"tem", 5, 1},
    {"hum", 7, 1},
    {"ep_no", 8, 1},
    {"hongwai", 12, 2},
    {"lux", 14, 2},
    {"gas", 18, 2},
}};

using frame_bytes = std::span<const unsigned char, SENSOR_FRAME_LEN>;

unsigned frame_reading(frame_bytes frame, const frame_field &field);

// Printable ASCII stands for itself; a backslash is doubled; any other byte
// becomes \xNN, so the far end of the line cannot drive the user's terminal.
// Writes a NUL-terminated text of at most four characters and returns its length.
inline constexpr std::size_t TAG_BYTE_TEXT_MAX = 5;
std::size_t escape_tag_byte(unsigned char byte, char (&out)[TAG_BYTE_TEXT_MAX]);

void print_frame(std::FILE *out, frame_bytes frame, int frame_number);

// A sensor that sends faster than the screen changes is shown no more than
// this many frames late.
inline constexpr std::size_t KEPT_FRAMES = 4;

struct kept_frames {
    std::array<std::array<unsigned char, SENSOR_FRAME_LEN>, KEPT_FRAMES> frame{};
    std::array<long long, KEPT_FRAMES> came_ms{};  // when each came off the line
    std::size_t first = 0;                         // the oldest
    std::size_t count = 0;
};

void keep_frame(kept_frames &kept, frame_bytes frame, long long came_ms);
void drop_stale(kept_frames &kept, long long cutoff_ms);
frame_bytes oldest_frame(const kept_frames &kept);
void drop_oldest(kept_frames &kept);
