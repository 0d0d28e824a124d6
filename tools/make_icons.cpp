// make_icons.cpp - build-time helper: draws the program's icons and writes
// them as .ico files (one 32 x 32 image, 32 bits per pixel), the same bytes
// on every run.
//   make_icons DIRECTORY
// writes icon1001.ico (the program file: a green card table with a Z),
// icon1002.ico (Zelk: a spade with a Z), icon1004.ico (Tarvo: a blue T) and
// icon1005.ico (a plain card).
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr int Size = 32;

struct Color {
    std::uint8_t r, g, b, a;
};

using Painter = std::function<Color(int x, int y)>;

void Put16(std::vector<std::uint8_t>& out, unsigned v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void Put32(std::vector<std::uint8_t>& out, unsigned v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

bool WriteIcon(const std::string& path, const Painter& paint) {
    std::vector<std::uint8_t> image;
    Put32(image, 40);          // BITMAPINFOHEADER
    Put32(image, Size);
    Put32(image, Size * 2);    // colour and mask rows
    Put16(image, 1);
    Put16(image, 32);
    Put32(image, 0);
    Put32(image, Size * Size * 4 + Size * 4);
    for (int i = 0; i < 4; ++i)
        Put32(image, 0);
    for (int y = Size - 1; y >= 0; --y) {  // bottom-up
        for (int x = 0; x < Size; ++x) {
            const Color c = paint(x, y);
            image.insert(image.end(), {c.b, c.g, c.r, c.a});
        }
    }
    for (int y = Size - 1; y >= 0; --y) {  // AND mask: 1 where transparent
        std::uint32_t row = 0;
        for (int x = 0; x < Size; ++x)
            if (paint(x, y).a == 0)
                row |= 1u << (31 - x);
        image.insert(image.end(), {static_cast<std::uint8_t>(row >> 24), static_cast<std::uint8_t>(row >> 16),
                                   static_cast<std::uint8_t>(row >> 8), static_cast<std::uint8_t>(row)});
    }
    std::vector<std::uint8_t> file;
    Put16(file, 0);
    Put16(file, 1);  // icon
    Put16(file, 1);  // one image
    file.insert(file.end(), {Size, Size, 0, 0});
    Put16(file, 1);
    Put16(file, 32);
    Put32(file, static_cast<unsigned>(image.size()));
    Put32(file, 6 + 16);
    file.insert(file.end(), image.begin(), image.end());

    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (!out)
        return false;
    const bool ok = std::fwrite(file.data(), 1, file.size(), out) == file.size();
    return std::fclose(out) == 0 && ok;
}

constexpr Color Clear{0, 0, 0, 0};
constexpr Color White{255, 255, 255, 255};
constexpr Color Black{20, 20, 20, 255};
constexpr Color Felt{18, 110, 50, 255};
constexpr Color Blue{30, 70, 170, 255};
constexpr Color Gold{230, 180, 40, 255};

// A letter Z in a box from (x0, y0), w x h, strokes 3 wide.
bool LetterZ(int x, int y, int x0, int y0, int w, int h) {
    if (x < x0 || x >= x0 + w || y < y0 || y >= y0 + h)
        return false;
    const int dx = x - x0, dy = y - y0;
    if (dy < 3 || dy >= h - 3)
        return true;
    const int diagonal = (w - 1) - dy * (w - 1) / (h - 1);
    return dx >= diagonal - 2 && dx <= diagonal + 1;
}

bool InCard(int x, int y) {
    return x >= 6 && x < 26 && y >= 2 && y < 30 && !((x == 6 || x == 25) && (y == 2 || y == 29));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_icons DIRECTORY\n");
        return 64;
    }
    const std::string dir = argv[1];
    const Painter table = [](int x, int y) {
        const int dx = x - 16, dy = y - 16;
        if (dx * dx + dy * dy > 15 * 15)
            return Clear;
        return LetterZ(x, y, 9, 9, 14, 14) ? Gold : Felt;
    };
    const Painter spade = [](int x, int y) {
        if (!InCard(x, y))
            return Clear;
        if (LetterZ(x, y, 10, 6, 12, 12))
            return Black;
        const int dx = x - 16, dy = y - 22;
        const bool leaf = (dx * dx + dy * dy <= 16) || (y >= 19 && y <= 27 && x >= 15 && x <= 16);
        return leaf ? Black : White;
    };
    const Painter tarvo = [](int x, int y) {
        if (x < 2 || x >= 30 || y < 2 || y >= 30)
            return Clear;
        const bool bar = y >= 7 && y < 12 && x >= 7 && x < 25;
        const bool stem = x >= 14 && x < 19 && y >= 7 && y < 26;
        return (bar || stem) ? White : Blue;
    };
    const Painter card = [](int x, int y) { return InCard(x, y) ? White : Clear; };
    const bool ok = WriteIcon(dir + "/icon1001.ico", table) && WriteIcon(dir + "/icon1002.ico", spade) &&
                    WriteIcon(dir + "/icon1004.ico", tarvo) && WriteIcon(dir + "/icon1005.ico", card);
    if (!ok) {
        std::fprintf(stderr, "make_icons: cannot write into %s\n", dir.c_str());
        return 1;
    }
    return 0;
}
