// What one frame looks like on the screen, from frames written out byte by byte.
#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "sensor_frame.h"
#include "support.h"

namespace {

using frame = std::array<unsigned char, 24>;

std::string screen(const frame &f, int number = 0)
{
    char *text = nullptr;
    std::size_t size = 0;
    std::FILE *out = open_memstream(&text, &size);
    print_frame(out, f, number);
    std::fclose(out);
    std::string s(text, size);
    std::free(text);
    return s;
}

// Tag "Ab1z"; tem 255; hum 7; ep_no 3; hongwai 0x0201; lux 0x1234; gas 0xffff.
// The bytes that are not shown hold values that would be noticed.
constexpr frame SAMPLE = {'A',  'b',  '1',  'z',  0x99, 0xff, 0x98, 0x07, 0x03, 0x97, 0x96, 0x95,
                          0x01, 0x02, 0x34, 0x12, 0x94, 0x93, 0xff, 0xff, 0x92, 0x91, 0x90, 0x8f};

TEST(PrintFrame, OneWholeScreen)
{
    EXPECT_EQ(screen(SAMPLE, 0),
              "\n-------0------\nAb1z\ntem:255\nhum:7\nep_no:3\nhongwai:513\nlux:4660\ngas:65535\n");
    EXPECT_EQ(screen(frame{}, 41),
              "\n-------41------\n\\x00\\x00\\x00\\x00\ntem:0\nhum:0\nep_no:0\nhongwai:0\nlux:0\ngas:0\n");
}

TEST(PrintFrame, BytesThatAreNotShownChangeNothing)
{
    const std::string expected = screen(SAMPLE);
    for (std::size_t offset : {4, 6, 9, 10, 11, 16, 17, 20, 21, 22, 23}) {
        for (unsigned char value : {0x00, 0x5c, 0xff}) {
            frame f = SAMPLE;
            f[offset] = value;
            EXPECT_EQ(screen(f), expected) << "offset " << offset << " value " << int(value);
        }
    }
}

// Undoes the tag line's escapes; the screen must say exactly which bytes came.
std::string unescape(const std::string &line)
{
    std::string bytes;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] != '\\')
            bytes += line[i];
        else if (line[++i] == '\\')
            bytes += '\\';
        else
            bytes += static_cast<char>(std::stoi(line.substr(++i, 2), nullptr, 16)), ++i;
    }
    return bytes;
}

TEST(PrintFrame, EveryTagByteIsShownSafelyAndFaithfully)
{
    const std::pair<unsigned char, const char *> literal[] = {
        {'A', "A"},      {' ', " "},      {'~', "~"},      {'\\', "\\\\"},  {0x1b, "\\x1b"},
        {'\n', "\\x0a"}, {0x7f, "\\x7f"}, {0x80, "\\x80"}, {0x9b, "\\x9b"}, {0xff, "\\xff"},
    };
    for (auto [byte, shown] : literal) {
        char text[TAG_BYTE_TEXT_MAX];
        EXPECT_EQ(escape_tag_byte(byte, text), std::string(shown).size());
        EXPECT_STREQ(text, shown);
    }
    for (std::size_t position = 0; position < 4; ++position) {
        for (int value = 0; value < 256; ++value) {
            frame f = SAMPLE;
            f[position] = static_cast<unsigned char>(value);
            const std::string s = screen(f);
            for (char c : s)
                ASSERT_TRUE(c == '\n' || (c >= 0x20 && c <= 0x7e)) << "byte " << value << " at " << position;
            const std::size_t tag_at = s.find('\n', 1) + 1;
            EXPECT_EQ(unescape(s.substr(tag_at, s.find('\n', tag_at) - tag_at)),
                      std::string(f.begin(), f.begin() + 4));
        }
    }
}

}  // namespace
