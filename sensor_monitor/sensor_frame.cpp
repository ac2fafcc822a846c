// Decoding and printing of one sensor frame, and the few kept for the screen.
#include "sensor_frame.h"

#include <algorithm>
#include <cstdio>

static_assert(TAG_LEN <= SENSOR_FRAME_LEN);

unsigned frame_reading(frame_bytes frame, const frame_field &field)
{
    unsigned value = 0;
    for (std::size_t i = field.size; i-- > 0;)
        value = value << 8 | frame[field.offset + i];
    return value;
}

std::size_t escape_tag_byte(unsigned char byte, char (&out)[TAG_BYTE_TEXT_MAX])
{
    if (byte == '\\')
        return static_cast<std::size_t>(std::snprintf(out, sizeof out, "\\\\"));
    if (byte >= 0x20 && byte <= 0x7e)
        return static_cast<std::size_t>(std::snprintf(out, sizeof out, "%c", byte));
    return static_cast<std::size_t>(std::snprintf(out, sizeof out, "\\x%02x", byte));
}

void print_frame(std::FILE *out, frame_bytes frame, int frame_number)
{
    std::fprintf(out, "\n-------%d------\n", frame_number);
    for (std::size_t i = 0; i < TAG_LEN; ++i) {
        char text[TAG_BYTE_TEXT_MAX];
        escape_tag_byte(frame[i], text);
        std::fputs(text, out);
    }
    std::fputc('\n', out);
    for (const frame_field &field : FRAME_READINGS)
        std::fprintf(out, "%s:%u\n", field.label, frame_reading(frame, field));
}

void keep_frame(kept_frames &kept, frame_bytes frame, long long came_ms)
{
    if (kept.count == KEPT_FRAMES)
        drop_oldest(kept);
    const std::size_t at = (kept.first + kept.count++) % KEPT_FRAMES;
    std::copy(frame.begin(), frame.end(), kept.frame[at].begin());
    kept.came_ms[at] = came_ms;
}

// A frame that waited a whole screen while a newer one came is not shown:
// after a stall the screens are fresh again at once, not a backlog late.
void drop_stale(kept_frames &kept, long long cutoff_ms)
{
    while (kept.count > 1 && kept.came_ms[kept.first] <= cutoff_ms)
        drop_oldest(kept);
}

frame_bytes oldest_frame(const kept_frames &kept)
{
    return frame_bytes(kept.frame[kept.first]);
}

void drop_oldest(kept_frames &kept)
{
    kept.first = (kept.first + 1) % KEPT_FRAMES;
    --kept.count;
}
